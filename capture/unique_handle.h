// Ownership of platform handles: an owner closes its handle through the HandlePort when it
// goes out of scope, so every path closes it. The platform marks a missing handle in two
// ways, and each has its owner type.
#pragma once

#include "capture/ports.h"

namespace capture {

template <Handle (*kInvalid)()>
class UniqueHandle {
 public:
  UniqueHandle(HandlePort& handles, Handle handle) : handles_(handles), handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Close(); }

  bool valid() const { return handle_ != kInvalid(); }
  Handle get() const { return handle_; }
  // Closes the handle before the owner goes out of scope.
  void Close() {
    if (valid()) handles_.Close(handle_);
    handle_ = kInvalid();
  }

 private:
  HandlePort& handles_;
  Handle handle_;
};

inline Handle NullHandle() { return nullptr; }

// Files and snapshots: InvalidHandle() (INVALID_HANDLE_VALUE) when there is none.
using UniqueFileHandle = UniqueHandle<InvalidHandle>;
// Processes and threads: null when there is none.
using UniqueProcessHandle = UniqueHandle<NullHandle>;

}  // namespace capture
