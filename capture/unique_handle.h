// Ownership of platform handles: an owner gives its handle back through its port when it
// goes out of scope, so every path gives it back. The platform marks a missing handle in
// two ways and gives handles back in two ways, and each combination has its owner type.
#pragma once

#include "capture/ports.h"

namespace capture {

template <typename Port, void (Port::*kRelease)(Handle), Handle (*kInvalid)()>
class UniqueHandle {
 public:
  UniqueHandle(Port& port, Handle handle) : port_(port), handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Close(); }

  bool valid() const { return handle_ != kInvalid(); }
  Handle get() const { return handle_; }
  // Gives the handle back before the owner goes out of scope.
  void Close() {
    if (valid()) (port_.*kRelease)(handle_);
    handle_ = kInvalid();
  }

 private:
  Port& port_;
  Handle handle_;
};

inline Handle NullHandle() { return nullptr; }

// Files and snapshots: InvalidHandle() (INVALID_HANDLE_VALUE) when there is none.
using UniqueFileHandle = UniqueHandle<HandlePort, &HandlePort::Close, InvalidHandle>;
// Processes and threads: null when there is none.
using UniqueProcessHandle = UniqueHandle<HandlePort, &HandlePort::Close, NullHandle>;
// Loaded libraries: null when there is none; freed, not closed.
using UniqueLibrary = UniqueHandle<LibraryPort, &LibraryPort::Free, NullHandle>;
// Folder listings: InvalidHandle() when there is none; given back with FindClose.
using UniqueFind = UniqueHandle<FolderPort, &FolderPort::CloseFind, InvalidHandle>;

}  // namespace capture
