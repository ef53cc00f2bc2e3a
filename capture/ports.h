// Every platform call the capture makes, in one place. The capture logic has no Windows
// header; it reaches the platform only through the ports below, each method standing for
// one platform call (or, for the version resource, one platform question), so that a fake
// can make any single call fail. The Windows side is ports_win.h: one thin adapter each.
#pragma once

#include <cstddef>
#include <cstdint>

namespace capture {

// An opaque platform handle (a Windows HANDLE on Windows). Files and snapshots signal
// failure with InvalidHandle(), processes and threads with null; unique_handle.h owns both.
using Handle = void*;
inline Handle InvalidHandle() { return reinterpret_cast<Handle>(~std::uintptr_t{0}); }

// Units of every path buffer, terminator included: what the platform's paths hold (MAX_PATH).
inline constexpr std::size_t kPathCapacity = 260;

// What the capture uses of the WER exception information.
struct CrashInfo {
  Handle process = nullptr;          // the crashed client (hProcess)
  Handle thread = nullptr;           // the faulting thread (hThread)
  std::uint32_t code = 0;            // exceptionRecord.ExceptionCode
  std::uint64_t address = 0;         // exceptionRecord.ExceptionAddress
  const void* exception_record = nullptr;  // address of exceptionRecord in the WER information
  const void* context = nullptr;           // address of context in the WER information
};

// The crashed process and its threads.
class ProcessPort {
 public:
  // QueryFullProcessImageNameW (flags 0): the image path, true only on success.
  virtual bool ImagePath(Handle process, char16_t* buffer, std::size_t capacity) = 0;
  // ReadProcessMemory: reads `size` bytes at `address`; `*bytes_read` gets the count.
  virtual bool ReadMemory(Handle process, std::uint64_t address, void* dest, std::size_t size,
                          std::size_t* bytes_read) = 0;
  // GetProcessId / GetThreadId: 0 when the platform cannot give it.
  virtual std::uint32_t ProcessId(Handle process) = 0;
  virtual std::uint32_t ThreadId(Handle thread) = 0;

 protected:
  ~ProcessPort() = default;
};

// One entry of a module snapshot of the crashed process.
struct ModuleEntry {
  std::uint64_t base = 0;
  std::uint64_t size = 0;
  char16_t name[256] = {};  // file name without directory, terminated
};

// Module snapshot of a process (Toolhelp on Windows); walked by ForEachModule (modules.h).
class ModulePort {
 public:
  // CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, pid); InvalidHandle()
  // on failure.
  virtual Handle OpenSnapshot(std::uint32_t process_id) = 0;
  // Module32FirstW / Module32NextW: true while an entry was stored.
  virtual bool FirstModule(Handle snapshot, ModuleEntry* entry) = 0;
  virtual bool NextModule(Handle snapshot, ModuleEntry* entry) = 0;

 protected:
  ~ModulePort() = default;
};

enum class FolderResult { kCreated, kAlreadyExists, kFailed };

// CreateDirectoryW with no security attributes; kAlreadyExists for ERROR_ALREADY_EXISTS.
class FolderPort {
 public:
  virtual FolderResult CreateFolder(const char16_t* path) = 0;

 protected:
  ~FolderPort() = default;
};

// The client's file version: one question, though the platform answers it with several
// calls of version.dll (GetFileVersionInfoSizeW, GetFileVersionInfoW into a heap block,
// VerQueryValueW of the root block), all made and undone inside this one call.
class VersionPort {
 public:
  // VS_FIXEDFILEINFO's dwFileVersionMS and dwFileVersionLS of the executable at `path`;
  // false when it has no version resource or any of the calls fails.
  virtual bool FixedFileVersion(const char16_t* path, std::uint32_t* version_ms,
                                std::uint32_t* version_ls) = 0;

 protected:
  ~VersionPort() = default;
};

// GetPrivateProfileStringW: the value, or `default_value` when file, section or key is missing.
class SettingsPort {
 public:
  virtual void ProfileString(const char16_t* section, const char16_t* key,
                             const char16_t* default_value, char16_t* buffer,
                             std::size_t capacity, const char16_t* path) = 0;

 protected:
  ~SettingsPort() = default;
};

// A calendar time as the platform gives it; day of week and milliseconds are not used.
struct CalendarTime {
  std::uint16_t year = 0;
  std::uint16_t month = 0;
  std::uint16_t day = 0;
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
};

class ClockPort {
 public:
  virtual CalendarTime UtcNow() = 0;  // GetSystemTime
  // GetTimeZoneInformationForYear for the zone's key name and the UTC year, then
  // SystemTimeToTzSpecificLocalTime; false when either fails.
  virtual bool ZoneLocalTime(const char16_t* zone_key_name, const CalendarTime& utc,
                             CalendarTime* local) = 0;
  virtual CalendarTime LocalNow() = 0;  // GetLocalTime

 protected:
  ~ClockPort() = default;
};

// What GetFileAttributesW says about a path.
enum class PathKind { kMissing, kFile, kDirectory };

// Files, one method per platform call.
class FilePort {
 public:
  // DeleteFileW.
  virtual bool Delete(const char16_t* path) = 0;
  // CreateFileW(GENERIC_WRITE, FILE_SHARE_READ, no security attributes, CREATE_ALWAYS,
  // FILE_ATTRIBUTE_NORMAL): InvalidHandle() on failure.
  virtual Handle CreateForWriting(const char16_t* path) = 0;
  // WriteFile; `*written` gets the count of bytes written.
  virtual bool Write(Handle file, const void* data, std::uint32_t size,
                     std::uint32_t* written) = 0;
  // FlushFileBuffers.
  virtual bool Flush(Handle file) = 0;
  // GetFileSizeEx.
  virtual bool Size(Handle file, std::uint64_t* size) = 0;
  // MoveFileExW(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH).
  virtual bool MoveReplacing(const char16_t* from, const char16_t* to) = 0;
  // GetFileAttributesW: kMissing when the call fails.
  virtual PathKind Kind(const char16_t* path) = 0;

 protected:
  ~FilePort() = default;
};

// What the capture hands the minidump writer.
struct DumpRequest {
  Handle process = nullptr;
  std::uint32_t process_id = 0;
  Handle file = nullptr;
  std::uint32_t dump_type = 0;
  std::uint32_t thread_id = 0;
  // The pair the exception parameter points to; both point into the caller's own memory
  // (the WER information), so the writer passes ClientPointers = FALSE.
  const void* exception_record = nullptr;
  const void* context = nullptr;
  // The one user stream.
  std::uint32_t stream_type = 0;
  const void* stream = nullptr;
  std::uint32_t stream_size = 0;
};

// MiniDumpWriteDump (dbghelp.dll) with exactly one user stream and no callback.
class DumpWriterPort {
 public:
  virtual bool WriteDump(const DumpRequest& request) = 0;

 protected:
  ~DumpWriterPort() = default;
};

struct StartedProcess {
  Handle process = nullptr;
  Handle thread = nullptr;
};

// Starting the notifier.
class ProcessStartPort {
 public:
  // CreateProcessW(application, command_line, no attributes, no inheritance,
  // CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE, inherited environment,
  // current_dir, zeroed STARTUPINFOW): returns at once. `command_line` is writable, as
  // CreateProcessW demands.
  virtual bool Start(const char16_t* application, char16_t* command_line,
                     const char16_t* current_dir, StartedProcess* started) = 0;

 protected:
  ~ProcessStartPort() = default;
};

// CloseHandle, for every handle the ports above open: files, snapshots and the notifier's
// process and thread.
class HandlePort {
 public:
  virtual void Close(Handle handle) = 0;

 protected:
  ~HandlePort() = default;
};

// The whole platform as the capture sees it.
struct CapturePorts {
  ProcessPort& process;
  ModulePort& modules;
  FolderPort& folders;
  VersionPort& version;
  SettingsPort& settings;
  ClockPort& clock;
  FilePort& files;
  DumpWriterPort& dumps;
  ProcessStartPort& starter;
  HandlePort& handles;
};

}  // namespace capture
