// One fake of the whole platform for the unit tests, the benchmarks and the fuzzers: a
// single object behind every port of capture/ports.h, with an in-memory crashed process,
// file system and handle table, and one fault injector that every primitive asks first.
// It carries arbitrary data and tracks every handle with the sharing rules the capture
// relies on. Its default client is D:\Game\Client.exe, version 10.1.0.0, no settings file,
// on a Windows 10 that fills bIsFatal. A primitive that fails sets the last error as the
// platform would; an injected fault sets kInjectedError, which the capture retries never.
// Files carry their last write time (the fake's UTC clock unless a test ages them), and
// a name may hold a planted link, which the fake never follows.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capture/ports.h"
#include "common/civil_time.h"

namespace fakes {

// Every primitive of the fake counts its call here and asks whether it fails, so a test
// can break any single platform call, and a sweep over the counted calls of a clean run
// reaches every primitive, a new one included, without a list of them. Counting takes
// nothing from the heap (the heap checks count the fakes' allocations too), so primitive
// names are string literals.
class Faults {
 public:
  Faults() { calls_.reserve(64); }

  // Counts a call of `primitive`; true when this call is to fail.
  bool Fails(std::string_view primitive) {
    const int call = ++Count(primitive);
    const auto rule = rules_.find(primitive);
    if (rule == rules_.end() || (rule->second != kEveryCall && rule->second != call)) return false;
    Note("fault");
    return true;
  }
  void FailEveryCall(std::string_view primitive) { rules_[std::string(primitive)] = kEveryCall; }
  void FailCall(std::string_view primitive, int call) { rules_[std::string(primitive)] = call; }
  void Heal(std::string_view primitive) {
    const auto rule = rules_.find(primitive);
    if (rule != rules_.end()) rules_.erase(rule);
  }

  int Calls(std::string_view primitive) const {
    for (const auto& [name, count] : calls_) {
      if (name == primitive) return count;
    }
    return 0;
  }
  std::map<std::string, int> calls() const {
    std::map<std::string, int> by_name;
    for (const auto& [name, count] : calls_) by_name[std::string(name)] = count;
    return by_name;
  }

  // What happened, in order: "fault" for every injected failure, and what the fake notes
  // ("rename" for a rename that landed, "start" for a started process).
  void Note(const char* event) { events_.emplace_back(event); }
  const std::vector<std::string>& events() const { return events_; }

 private:
  static constexpr int kEveryCall = 0;  // calls count from 1

  int& Count(std::string_view primitive) {
    for (auto& [name, count] : calls_) {
      if (name == primitive) return count;
    }
    return calls_.emplace_back(primitive, 0).second;
  }

  std::vector<std::pair<std::string_view, int>> calls_;
  std::map<std::string, int, std::less<>> rules_;
  std::vector<std::string> events_;
};

// Central European time by the European rule, in place of the Windows zone database.
inline capture::CalendarTime CentralEuropeanTime(const capture::CalendarTime& utc) {
  const common::CivilTime local = common::CentralEuropeanFromUtc(
      common::SecondsFromCivil({utc.year, utc.month, utc.day, utc.hour, utc.minute, utc.second}));
  return {static_cast<std::uint16_t>(local.year), static_cast<std::uint16_t>(local.month),
          static_cast<std::uint16_t>(local.day), static_cast<std::uint16_t>(local.hour),
          static_cast<std::uint16_t>(local.minute), static_cast<std::uint16_t>(local.second)};
}

class FakePlatform final : public capture::ProcessPort,
                           public capture::ModulePort,
                           public capture::FolderPort,
                           public capture::LibraryPort,
                           public capture::VersionPort,
                           public capture::SettingsPort,
                           public capture::ClockPort,
                           public capture::FilePort,
                           public capture::DumpWriterPort,
                           public capture::ProcessStartPort,
                           public capture::HandlePort,
                           public capture::SystemPort {
 public:
  using Handle = capture::Handle;

  // ERROR_GEN_FAILURE: no error the capture tries again after.
  static constexpr std::uint32_t kInjectedError = 31;

  Faults faults;

  // The crashed process. `memory` is readable from `memory_base` on; a read that runs past
  // its end stops there and fails, as a read into unreserved address space does.
  std::u16string image_path = u"D:\\Game\\Client.exe";
  std::uint64_t memory_base = 0x10000;
  std::vector<unsigned char> memory;
  std::uint32_t process_id = 4242;
  std::uint32_t thread_id = 11872;
  struct Module {
    std::uint64_t base;
    std::uint64_t size;
    std::u16string name;
  };
  std::vector<Module> modules;
  // The next this many snapshots fail with ERROR_BAD_LENGTH, as while the loader changes
  // the module list.
  int snapshot_bad_lengths = 0;

  // The running system: its build (RtlGetVersion), its system folder and whether kernel32
  // exports AddDllDirectory, so that the loader knows LOAD_LIBRARY_SEARCH_SYSTEM32
  // (Windows 7 without KB2533623 does not, and refuses the flag with an error of its own).
  std::uint32_t windows_build = 19045;
  std::u16string system_folder = u"C:\\Windows\\system32";
  bool search_flags_known = true;
  // Every library load, by the name or path asked for.
  std::vector<std::u16string> library_loads;
  std::uint32_t last_error = 0;

  // The client's files and the clock. `ini` maps a settings file's path to its
  // "Section/Key" values; a missing file, section or key gives the default.
  struct Version {
    std::uint32_t ms;
    std::uint32_t ls;
  };
  std::map<std::u16string, Version> versions{{u"D:\\Game\\Client.exe", {0x000A0001u, 0}}};
  // The root block's length and signature as VerQueryValueW gives them.
  std::uint32_t fixed_info_length = capture::kFixedFileInfoSize;
  std::uint32_t fixed_info_signature = capture::kFixedFileInfoSignature;
  std::map<std::u16string, std::map<std::u16string, std::u16string>> ini;
  std::u16string last_ini_path;
  capture::CalendarTime utc{2026, 12, 8, 6, 41, 5};
  capture::CalendarTime machine_local{2001, 2, 3, 4, 5, 6};
  std::u16string asked_zone;
  // The platform's zone list, in its order; only Central European time converts.
  std::vector<std::u16string> zones{u"UTC", u"W. Europe Standard Time",
                                    u"Central European Standard Time", u"Romance Standard Time"};
  // Sleeping takes no time here; it only adds up.
  std::uint32_t slept_ms = 0;
  int sleeps = 0;

  // Files and folders; a WriteFile that succeeds but writes only `short_write` bytes
  // (negative: all of them). `write_times` holds a file's last write in seconds since
  // 1970 where it was written or a test set it, the fake's UTC clock otherwise; `links` maps a planted
  // link's name to its target, and `reparse_points` marks folders that are links.
  std::map<std::u16string, std::string> files;
  std::map<std::u16string, std::int64_t> write_times;
  std::map<std::u16string, std::u16string> links;
  std::set<std::u16string> folders{u"D:", u"D:\\Game"};
  std::set<std::u16string> reparse_points;
  std::vector<std::u16string> folder_requests;
  int short_write = -1;
  // A virus scanner holds every file it sees until this much sleeping has passed: renames
  // and deletes fail meanwhile with `scanner_error`.
  std::uint32_t scanner_busy_ms = 0;
  std::uint32_t scanner_error = capture::kErrorSharingViolation;

  // The dump writer writes this header and the comment stream through the file, so a
  // test finds the report in the dump; `dump_bytes` cuts what it writes (negative: all),
  // and `dump_fails_after_writing` reports failure after writing it whole.
  static constexpr char kDumpHeader[] = "MDMP-fake-header-of-32-bytes....";
  std::vector<capture::DumpRequest> dump_requests;
  std::string last_stream;
  int dump_bytes = -1;
  bool dump_fails_after_writing = false;

  struct Start {
    std::u16string application;
    std::u16string command_line;
    std::u16string current_dir;
  };
  std::vector<Start> starts;

  // Uses of a handle that is not open, or not of the kind the call takes: the platform
  // would punish them, and a test expects none.
  int handle_misuses = 0;

  FakePlatform() { open_.reserve(64); }

  capture::CapturePorts Ports() {
    return {*this, *this, *this, *this, *this, *this, *this, *this, *this, *this, *this, *this};
  }

  // A client at `path` with that file version, in an existing folder.
  void SetClient(const std::u16string& path, std::uint32_t ms = 0x000A0001u, std::uint32_t ls = 0) {
    image_path = path;
    versions[path] = {ms, ls};
    folders.insert(Parent(path));
  }
  void AddFile(const std::u16string& path, const std::string& content = "x") { files[path] = content; }
  // A file last written `seconds` before the fake's UTC clock.
  void AddAgedFile(const std::u16string& path, std::int64_t seconds, const std::string& content = "x") {
    files[path] = content;
    write_times[path] = UtcSeconds() - seconds;
  }
  std::int64_t UtcSeconds() const {
    return common::SecondsFromCivil({utc.year, utc.month, utc.day, utc.hour, utc.minute, utc.second});
  }
  bool Exists(const std::u16string& path) const { return files.count(path) != 0; }
  const std::string& Content(const std::u16string& path) const { return files.at(path); }
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
  // Someone else (another capture) holds the file open for writing.
  void HoldOpenForWriting(const std::u16string& path) {
    files.emplace(path, std::string());
    foreign_writers_.insert(path);
  }
  int OpenHandles() const { return static_cast<int>(open_.size()); }

  // ProcessPort.
  bool ImagePath(Handle, char16_t* buffer, std::size_t capacity) override {
    if (Injected("QueryFullProcessImageNameW") || image_path.size() + 1 > capacity) return false;
    std::memcpy(buffer, image_path.c_str(), (image_path.size() + 1) * sizeof(char16_t));
    return true;
  }
  bool ReadMemory(Handle, std::uint64_t address, void* dest, std::size_t size,
                  std::size_t* bytes_read) override {
    *bytes_read = 0;
    if (Injected("ReadProcessMemory")) return false;
    if (address < memory_base || address - memory_base >= memory.size()) return false;
    const std::size_t offset = static_cast<std::size_t>(address - memory_base);
    const std::size_t count = std::min(size, memory.size() - offset);
    std::memcpy(dest, memory.data() + offset, count);
    *bytes_read = count;
    return count == size;
  }
  std::uint32_t ProcessId(Handle process) override {
    return Injected("GetProcessId") || process == nullptr ? 0 : process_id;
  }
  std::uint32_t ThreadId(Handle thread) override {
    return Injected("GetThreadId") || thread == nullptr ? 0 : thread_id;
  }

  // ModulePort.
  Handle OpenSnapshot(std::uint32_t) override {
    if (Injected("CreateToolhelp32Snapshot")) return capture::InvalidHandle();
    if (snapshot_bad_lengths > 0) {
      --snapshot_bad_lengths;
      return Failed(capture::kErrorBadLength, capture::InvalidHandle());
    }
    return Open(HandleKind::kSnapshot);
  }
  bool FirstModule(Handle snapshot, capture::ModuleEntry* entry) override {
    next_module_ = 0;
    if (Injected("Module32FirstW")) return false;
    return FetchModule(snapshot, entry);
  }
  bool NextModule(Handle snapshot, capture::ModuleEntry* entry) override {
    if (Injected("Module32NextW")) return false;
    return FetchModule(snapshot, entry);
  }

  // FolderPort: only the last level is created.
  capture::FolderResult CreateFolder(const char16_t* path) override {
    folder_requests.emplace_back(path);
    if (Injected("CreateDirectoryW")) return capture::FolderResult::kFailed;
    const std::u16string p = path;
    if (folders.count(p) != 0 || files.count(p) != 0) return capture::FolderResult::kAlreadyExists;
    if (folders.count(Parent(p)) == 0) return capture::FolderResult::kFailed;
    folders.insert(p);
    return capture::FolderResult::kCreated;
  }
  capture::ReparseState Reparse(const char16_t* path) override {
    if (Injected("GetFileAttributesW")) return capture::ReparseState::kUnknown;
    const std::u16string p = path;
    if (folders.count(p) == 0 && files.count(p) == 0) return Failed(kErrorFileNotFound, capture::ReparseState::kUnknown);
    return reparse_points.count(p) != 0 ? capture::ReparseState::kReparsePoint : capture::ReparseState::kPlain;
  }
  // The listing is taken whole when it starts; the pattern's last part may hold '*'.
  Handle FindFirst(const char16_t* pattern, capture::FolderEntry* entry) override {
    if (Injected("FindFirstFileW")) return capture::InvalidHandle();
    const std::u16string p = pattern;
    const std::u16string folder = Parent(p);
    const std::u16string wildcard = p.substr(folder.size() + 1);
    listing_.clear();
    next_entry_ = 0;
    for (const auto& [path, content] : files) {
      if (Parent(path) == folder && Matches(wildcard, path.substr(folder.size() + 1))) {
        listing_.push_back({path, false});
      }
    }
    for (const std::u16string& path : folders) {
      if (Parent(path) == folder && Matches(wildcard, path.substr(folder.size() + 1))) {
        listing_.push_back({path, true});
      }
    }
    if (listing_.empty()) return Failed(kErrorFileNotFound, capture::InvalidHandle());
    const Handle find = Open(HandleKind::kFind);
    FetchEntry(entry);
    return find;
  }
  bool FindNext(Handle find, capture::FolderEntry* entry) override {
    if (!IsOpenAs(find, HandleKind::kFind) || Injected("FindNextFileW")) return false;
    if (next_entry_ >= listing_.size()) return Failed(kErrorNoMoreFiles, false);
    FetchEntry(entry);
    return true;
  }
  void CloseFind(Handle find) override { Release(find, Releaser::kFindClose); }

  // LibraryPort. Only the system folder's DLLs load, from a bare name or from a full path
  // in that folder.
  bool SearchFlagsKnown() override { return !Injected("GetProcAddress") && search_flags_known; }
  Handle LoadFromSystemFolder(const char16_t* name) override {
    library_loads.emplace_back(name);
    if (Injected("LoadLibraryExW")) return nullptr;
    if (!search_flags_known) return Failed(kErrorInvalidFlags, Handle{nullptr});
    return Open(HandleKind::kLibrary, name);
  }
  bool SystemFolder(char16_t* buffer, std::size_t capacity) override {
    if (Injected("GetSystemDirectoryW") || system_folder.size() + 1 > capacity) return false;
    std::memcpy(buffer, system_folder.c_str(), (system_folder.size() + 1) * sizeof(char16_t));
    return true;
  }
  Handle LoadFullPath(const char16_t* path) override {
    library_loads.emplace_back(path);
    if (Injected("LoadLibraryExW")) return nullptr;
    const std::u16string p = path;
    if (Parent(p) != system_folder) return Failed(kErrorModuleNotFound, Handle{nullptr});
    return Open(HandleKind::kLibrary, p.substr(system_folder.size() + 1));
  }
  void Free(Handle library) override { Release(library, Releaser::kFreeLibrary); }

  // VersionPort: the root block of a version resource holds VS_FIXEDFILEINFO.
  bool RootBlock(Handle version_dll, const char16_t* path,
                 unsigned char (&info)[capture::kFixedFileInfoSize], std::uint32_t* length) override {
    if (!IsLibrary(version_dll, u"version.dll") || Injected("GetFileVersionInfoW")) return false;
    const auto it = versions.find(path);
    if (it == versions.end()) return false;
    const std::uint32_t words[capture::kFixedFileInfoSize / 4] = {
        fixed_info_signature, 0x00010000u, it->second.ms, it->second.ls, it->second.ms, it->second.ls};
    std::memset(info, 0, sizeof(info));
    std::memcpy(info, words, std::min<std::size_t>(fixed_info_length, sizeof(words)));
    *length = fixed_info_length;
    return true;
  }

  // SettingsPort. GetPrivateProfileStringW reports no failure; what a failing read looks
  // like to its caller is an empty value.
  void ProfileString(const char16_t* section, const char16_t* key, const char16_t* default_value,
                     char16_t* buffer, std::size_t capacity, const char16_t* path) override {
    last_ini_path = path;
    if (Injected("GetPrivateProfileStringW")) {
      if (capacity > 0) buffer[0] = u'\0';
      return;
    }
    std::u16string value = default_value;
    const auto file = ini.find(path);
    if (file != ini.end()) {
      const auto entry = file->second.find(std::u16string(section) + u"/" + key);
      if (entry != file->second.end()) value = entry->second;
    }
    // As the platform does: the value cut to capacity - 1 units, terminated.
    const std::size_t count = std::min(value.size(), capacity - 1);
    std::memcpy(buffer, value.data(), count * sizeof(char16_t));
    buffer[count] = u'\0';
  }

  // ClockPort.
  capture::CalendarTime UtcNow() override { return utc; }
  capture::CalendarTime LocalNow() override { return machine_local; }
  bool ZoneAt(Handle advapi32, std::uint32_t index, capture::TimeZoneEntry* entry) override {
    if (!IsLibrary(advapi32, u"advapi32.dll") || Injected("EnumDynamicTimeZoneInformation")) {
      return false;
    }
    if (index >= zones.size()) return false;  // ERROR_NO_MORE_ITEMS
    *entry = {};
    std::memcpy(entry->key_name, zones[index].c_str(),
                std::min<std::size_t>(zones[index].size(), 127) * sizeof(char16_t));
    std::memcpy(entry->platform, &index, sizeof(index));
    return true;
  }
  bool ZoneLocalTime(const capture::TimeZoneEntry& zone, const capture::CalendarTime& when,
                     capture::CalendarTime* local) override {
    asked_zone = zone.key_name;
    if (Injected("GetTimeZoneInformationForYear")) return false;
    if (asked_zone != u"Central European Standard Time") return false;
    *local = CentralEuropeanTime(when);
    return true;
  }
  void Sleep(std::uint32_t milliseconds) override {
    slept_ms += milliseconds;
    ++sleeps;
  }

  // FilePort.
  // A link is deleted itself, never its target.
  bool Delete(const char16_t* path) override {
    if (Injected("DeleteFileW")) return false;
    if (ScannerHolds()) return Failed(scanner_error, false);
    const std::u16string p = path;
    if (links.erase(p) != 0) return true;
    if (files.count(p) == 0) return Failed(kErrorFileNotFound, false);
    if (IsOpen(p)) return Failed(capture::kErrorSharingViolation, false);
    files.erase(p);
    write_times.erase(p);
    return true;
  }
  // CREATE_NEW: any existing name, a link included, fails the create.
  Handle CreateNew(const char16_t* path) override {
    if (Injected("CreateFileW")) return capture::InvalidHandle();
    const std::u16string p = path;
    if (folders.count(p) != 0 || files.count(p) != 0 || links.count(p) != 0) {
      return Failed(kErrorFileExists, capture::InvalidHandle());
    }
    if (folders.count(Parent(p)) == 0) return Failed(kErrorPathNotFound, capture::InvalidHandle());
    files[p].clear();
    write_times[p] = UtcSeconds();
    return Open(HandleKind::kFile, p);
  }
  // A failing write fails the hard way: half the bytes land before the call reports it.
  bool Write(Handle file, const void* data, std::uint32_t size, std::uint32_t* written) override {
    *written = 0;
    if (!IsOpenAs(file, HandleKind::kFile)) return false;
    const bool fails = Injected("WriteFile");
    std::uint32_t count = fails ? size / 2 : size;
    if (short_write >= 0) count = std::min(count, static_cast<std::uint32_t>(short_write));
    files[Find(file)->path].append(static_cast<const char*>(data), count);
    write_times[Find(file)->path] = UtcSeconds();
    *written = count;
    return !fails;
  }
  bool Flush(Handle file) override {
    return IsOpenAs(file, HandleKind::kFile) && !Injected("FlushFileBuffers");
  }
  bool Size(Handle file, std::uint64_t* size) override {
    if (!IsOpenAs(file, HandleKind::kFile) || Injected("GetFileSizeEx")) return false;
    *size = files[Find(file)->path].size();
    return true;
  }
  // A link under the new name is replaced itself, never written through. The file keeps
  // its last write time.
  bool MoveReplacing(const char16_t* from, const char16_t* to) override {
    if (Injected("MoveFileExW")) return false;
    if (ScannerHolds()) return Failed(scanner_error, false);
    const std::u16string f = from;
    const std::u16string t = to;
    if (files.count(f) == 0) return Failed(kErrorFileNotFound, false);
    if (IsOpen(f) || IsOpen(t)) return Failed(capture::kErrorSharingViolation, false);
    if (folders.count(t) != 0) return Failed(capture::kErrorAccessDenied, false);
    links.erase(t);
    files[t] = files[f];
    files.erase(f);
    write_times.erase(t);
    if (const auto time = write_times.find(f); time != write_times.end()) {
      write_times[t] = time->second;
      write_times.erase(time);
    }
    faults.Note("rename");
    return true;
  }
  capture::PathKind Kind(const char16_t* path) override {
    if (Injected("GetFileAttributesW")) return capture::PathKind::kMissing;
    const std::u16string p = path;
    if (folders.count(p) != 0) return capture::PathKind::kDirectory;
    return files.count(p) != 0 ? capture::PathKind::kFile : capture::PathKind::kMissing;
  }

  // DumpWriterPort. A writer that fails dies half-way: part of the header is in the file.
  bool WriteDump(Handle dbghelp, const capture::DumpRequest& request) override {
    dump_requests.push_back(request);
    if (!IsLibrary(dbghelp, u"dbghelp.dll") || !IsOpenAs(request.file, HandleKind::kFile)) {
      return false;
    }
    std::string& file = files[Find(request.file)->path];
    if (Injected("MiniDumpWriteDump")) {
      file += "MDMP-half";
      return false;
    }
    last_stream.assign(static_cast<const char*>(request.stream), request.stream_size);
    std::string bytes = std::string(kDumpHeader) + last_stream;
    if (dump_bytes >= 0) bytes.resize(static_cast<std::size_t>(dump_bytes));
    file += bytes;
    return !dump_fails_after_writing;
  }

  // ProcessStartPort.
  bool Start(const char16_t* application, char16_t* command_line, const char16_t* current_dir,
             capture::StartedProcess* started) override {
    if (Injected("CreateProcessW")) return false;
    starts.push_back({application, command_line, current_dir});
    started->process = Open(HandleKind::kProcess);
    started->thread = Open(HandleKind::kThread);
    faults.Note("start");
    return true;
  }

  // HandlePort: every handle but a library's and a listing's.
  void Close(Handle handle) override { Release(handle, Releaser::kCloseHandle); }

  // SystemPort.
  std::uint32_t LastError() override { return last_error; }
  bool WindowsBuild(std::uint32_t* build) override {
    if (Injected("RtlGetVersion")) return false;
    *build = windows_build;
    return true;
  }

 private:
  enum class HandleKind { kFile, kSnapshot, kProcess, kThread, kLibrary, kFind };
  // How each kind is given back: FreeLibrary, FindClose, CloseHandle for all others.
  enum class Releaser { kCloseHandle, kFreeLibrary, kFindClose };
  static Releaser ReleaserOf(HandleKind kind) {
    if (kind == HandleKind::kLibrary) return Releaser::kFreeLibrary;
    return kind == HandleKind::kFind ? Releaser::kFindClose : Releaser::kCloseHandle;
  }
  struct OpenHandle {
    Handle handle;
    HandleKind kind;
    std::u16string path;  // of a file; a library's file name
  };

  static constexpr std::uint32_t kErrorFileNotFound = 2;
  static constexpr std::uint32_t kErrorPathNotFound = 3;
  static constexpr std::uint32_t kErrorNoMoreFiles = 18;
  static constexpr std::uint32_t kErrorFileExists = 80;
  static constexpr std::uint32_t kErrorModuleNotFound = 126;
  static constexpr std::uint32_t kErrorInvalidFlags = 1004;

  // Counts the call, and on an injected fault sets the last error as a failing call does.
  bool Injected(std::string_view primitive) {
    if (!faults.Fails(primitive)) return false;
    last_error = kInjectedError;
    return true;
  }
  // A call that fails with `error`, giving `result`.
  template <typename Result>
  Result Failed(std::uint32_t error, Result result) {
    last_error = error;
    return result;
  }
  bool ScannerHolds() const { return slept_ms < scanner_busy_ms; }
  bool IsLibrary(Handle library, std::u16string_view name) {
    const auto it = Find(library);
    if (it != open_.end() && it->kind == HandleKind::kLibrary && it->path == name) return true;
    ++handle_misuses;
    return false;
  }

  static std::u16string Parent(const std::u16string& path) {
    const auto slash = path.rfind(u'\\');
    return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
  }
  // The handle table is a reserved vector, so a snapshot's handle takes nothing from the
  // heap either.
  Handle Open(HandleKind kind, const std::u16string& path = {}) {
    const auto handle = reinterpret_cast<Handle>(next_handle_++);
    open_.push_back({handle, kind, path});
    return handle;
  }
  std::vector<OpenHandle>::iterator Find(Handle handle) {
    return std::find_if(open_.begin(), open_.end(),
                        [handle](const OpenHandle& open) { return open.handle == handle; });
  }
  // Each handle goes back through its own call: the wrong one, or a handle that is not
  // open, is a misuse.
  void Release(Handle handle, Releaser releaser) {
    const auto it = Find(handle);
    if (it == open_.end() || ReleaserOf(it->kind) != releaser) {
      ++handle_misuses;
      return;
    }
    open_.erase(it);
  }
  bool IsOpenAs(Handle handle, HandleKind kind) {
    const auto it = Find(handle);
    if (it != open_.end() && it->kind == kind) return true;
    ++handle_misuses;
    return false;
  }
  bool IsOpen(const std::u16string& path) const {
    if (foreign_writers_.count(path) != 0) return true;
    for (const OpenHandle& open : open_) {
      if (open.kind == HandleKind::kFile && open.path == path) return true;
    }
    return false;
  }
  bool FetchModule(Handle snapshot, capture::ModuleEntry* entry) {
    if (!IsOpenAs(snapshot, HandleKind::kSnapshot) || next_module_ >= modules.size()) return false;
    const Module& m = modules[next_module_++];
    entry->base = m.base;
    entry->size = m.size;
    std::memset(entry->name, 0, sizeof(entry->name));
    std::memcpy(entry->name, m.name.c_str(), std::min<std::size_t>(m.name.size(), 255) * sizeof(char16_t));
    return true;
  }

  // '*' stands for any run of units; everything else for itself.
  static bool Matches(std::u16string_view wildcard, std::u16string_view name) {
    if (wildcard.empty()) return name.empty();
    if (wildcard[0] == u'*') {
      for (std::size_t skip = 0; skip <= name.size(); ++skip) {
        if (Matches(wildcard.substr(1), name.substr(skip))) return true;
      }
      return false;
    }
    return !name.empty() && name[0] == wildcard[0] && Matches(wildcard.substr(1), name.substr(1));
  }
  void FetchEntry(capture::FolderEntry* entry) {
    const ListedEntry& listed = listing_[next_entry_++];
    *entry = {};
    const std::u16string name = listed.path.substr(listed.path.rfind(u'\\') + 1);
    std::memcpy(entry->name, name.c_str(), std::min<std::size_t>(name.size(), 259) * sizeof(char16_t));
    const auto time = write_times.find(listed.path);
    const std::int64_t seconds = time != write_times.end() ? time->second : UtcSeconds();
    entry->last_write = static_cast<std::uint64_t>(seconds + 11644473600) * 10000000u;
    entry->directory = listed.directory;
  }

  struct ListedEntry {
    std::u16string path;
    bool directory;
  };
  std::vector<ListedEntry> listing_;
  std::size_t next_entry_ = 0;
  std::vector<OpenHandle> open_;
  std::set<std::u16string> foreign_writers_;
  std::uintptr_t next_handle_ = 0x100;
  std::size_t next_module_ = 0;
};

}  // namespace fakes
