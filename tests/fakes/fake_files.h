// Fakes of the capture's file system, minidump writer and process start for the unit
// tests. The file system keeps files and folders in memory and tracks every open handle
// with the sharing rules the capture relies on; every primitive can be told to fail on
// its Nth call (or on every call), so a test can break any single platform call.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "capture/dump_path.h"

namespace fakes {

// When a primitive fails: never, on its Nth call (1-based), or always.
struct Failure {
  int on_call = 0;
  bool always = false;
  int calls = 0;

  // Counts a call and says whether it fails.
  bool Fails() {
    ++calls;
    return always || calls == on_call;
  }
};

class FakeFileSystem : public capture::FilePort, public capture::FolderPort {
 public:
  std::map<std::u16string, std::string> files;
  std::set<std::u16string> folders;

  Failure delete_fails, create_fails, write_fails, flush_fails, size_fails, move_fails,
      kind_fails, create_folder_fails;
  // A WriteFile that succeeds but writes only this many bytes (negative: all of them).
  int short_write = -1;

  // Misuse of handles that the platform would punish; a test expects none.
  int bad_handle_uses = 0;
  std::vector<std::u16string> deleted;

  FakeFileSystem() { folders.insert(u"D:"); }

  void AddFolder(const std::u16string& path) { folders.insert(path); }
  void AddFile(const std::u16string& path, const std::string& content = "x") {
    files[path] = content;
  }
  bool Exists(const std::u16string& path) const { return files.count(path) != 0; }
  const std::string& Content(const std::u16string& path) const { return files.at(path); }
  int open_handles() const { return static_cast<int>(open_.size()); }
  // Files of one folder (direct children), by name.
  std::vector<std::u16string> FilesIn(const std::u16string& folder) const {
    std::vector<std::u16string> names;
    const std::u16string prefix = folder + u"\\";
    for (const auto& [path, content] : files) {
      if (path.rfind(prefix, 0) == 0 && path.find(u'\\', prefix.size()) == std::u16string::npos) {
        names.push_back(path.substr(prefix.size()));
      }
    }
    return names;
  }
  // An open handle of someone else (another capture) holding a file for writing.
  void HoldOpenForWriting(const std::u16string& path) {
    files.emplace(path, std::string());
    foreign_writers_.insert(path);
  }

  // FolderPort: only the last level is created.
  capture::FolderResult CreateFolder(const char16_t* path) override {
    if (create_folder_fails.Fails()) return capture::FolderResult::kFailed;
    const std::u16string p = path;
    if (folders.count(p) || files.count(p)) return capture::FolderResult::kAlreadyExists;
    if (!folders.count(Parent(p))) return capture::FolderResult::kFailed;
    folders.insert(p);
    return capture::FolderResult::kCreated;
  }

  // FilePort.
  bool Delete(const char16_t* path) override {
    if (delete_fails.Fails()) return false;
    const std::u16string p = path;
    if (!files.count(p) || IsOpen(p)) return false;
    files.erase(p);
    deleted.push_back(p);
    return true;
  }
  capture::Handle CreateForWriting(const char16_t* path) override {
    if (create_fails.Fails()) return capture::InvalidHandle();
    const std::u16string p = path;
    // Read sharing only: an existing writer keeps a second one out.
    if (folders.count(p) || !folders.count(Parent(p)) || IsOpen(p)) return capture::InvalidHandle();
    files[p].clear();  // CREATE_ALWAYS truncates
    const auto handle = reinterpret_cast<capture::Handle>(static_cast<std::uintptr_t>(next_handle_++));
    open_[handle] = p;
    return handle;
  }
  bool Write(capture::Handle file, const void* data, std::uint32_t size,
             std::uint32_t* written) override {
    *written = 0;
    if (!open_.count(file)) return Misuse();
    if (write_fails.Fails()) return false;
    const std::uint32_t count =
        short_write >= 0 && static_cast<std::uint32_t>(short_write) < size ? short_write : size;
    files[open_[file]].append(static_cast<const char*>(data), count);
    *written = count;
    return true;
  }
  bool Flush(capture::Handle file) override {
    if (!open_.count(file)) return Misuse();
    return !flush_fails.Fails();
  }
  bool Size(capture::Handle file, std::uint64_t* size) override {
    if (!open_.count(file)) return Misuse();
    if (size_fails.Fails()) return false;
    *size = files[open_[file]].size();
    return true;
  }
  void Close(capture::Handle file) override {
    if (open_.erase(file) == 0) Misuse();
  }
  bool MoveReplacing(const char16_t* from, const char16_t* to) override {
    if (move_fails.Fails()) return false;
    const std::u16string f = from;
    const std::u16string t = to;
    if (!files.count(f) || IsOpen(f) || IsOpen(t) || folders.count(t)) return false;
    files[t] = files[f];
    files.erase(f);
    return true;
  }
  capture::PathKind Kind(const char16_t* path) override {
    if (kind_fails.Fails()) return capture::PathKind::kMissing;
    const std::u16string p = path;
    if (folders.count(p)) return capture::PathKind::kDirectory;
    return files.count(p) ? capture::PathKind::kFile : capture::PathKind::kMissing;
  }

  // The path an open handle refers to, for fakes that write through a handle.
  bool AppendThrough(capture::Handle file, const std::string& bytes) {
    if (!open_.count(file)) return Misuse();
    files[open_[file]] += bytes;
    return true;
  }

 private:
  static std::u16string Parent(const std::u16string& path) {
    const auto slash = path.rfind(u'\\');
    return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
  }
  bool IsOpen(const std::u16string& path) const {
    if (foreign_writers_.count(path)) return true;
    for (const auto& [handle, p] : open_) {
      if (p == path) return true;
    }
    return false;
  }
  bool Misuse() {
    ++bad_handle_uses;
    return false;
  }

  std::map<capture::Handle, std::u16string> open_;
  std::set<std::u16string> foreign_writers_;
  std::uintptr_t next_handle_ = 0x100;
};

// Writes a small stand-in dump through the file system: a header and the comment
// stream, so a test can find the report in the file.
class FakeDumpWriter : public capture::DumpWriterPort {
 public:
  explicit FakeDumpWriter(FakeFileSystem& files) : files_(files) {}

  Failure fails;
  // Writes the header and then fails, as a writer that dies half-way does.
  bool fails_after_writing = false;
  // Writes only this many bytes in all (negative: the whole dump).
  int truncate_to = -1;
  std::vector<capture::DumpRequest> requests;
  std::string last_stream;

  static constexpr char kHeader[] = "MDMP-fake-header-of-32-bytes....";

  bool WriteDump(const capture::DumpRequest& request) override {
    requests.push_back(request);
    if (fails.Fails()) return false;
    last_stream.assign(static_cast<const char*>(request.stream), request.stream_size);
    std::string bytes = std::string(kHeader) + last_stream;
    if (truncate_to >= 0) bytes.resize(static_cast<std::size_t>(truncate_to));
    if (!files_.AppendThrough(request.file, bytes)) return false;
    return !fails_after_writing;
  }

 private:
  FakeFileSystem& files_;
};

class FakeProcessStarter : public capture::ProcessStartPort {
 public:
  struct Start {
    std::u16string application;
    std::u16string command_line;
    std::u16string current_dir;
  };
  Failure fails;
  std::vector<Start> starts;
  int open_handles = 0;

  bool Start(const char16_t* application, char16_t* command_line, const char16_t* current_dir,
             capture::StartedProcess* started) override {
    if (fails.Fails()) return false;
    starts.push_back({application, command_line, current_dir});
    started->process = reinterpret_cast<capture::Handle>(std::uintptr_t{0x7001});
    started->thread = reinterpret_cast<capture::Handle>(std::uintptr_t{0x7002});
    open_handles += 2;
    return true;
  }
  void CloseBoth(const capture::StartedProcess& started) override {
    if (started.thread == reinterpret_cast<capture::Handle>(std::uintptr_t{0x7002})) --open_handles;
    if (started.process == reinterpret_cast<capture::Handle>(std::uintptr_t{0x7001})) --open_handles;
  }
};

}  // namespace fakes
