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

// The error codes (GetLastError) that the capture tells apart from any other failure.
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorBadLength = 24;
inline constexpr std::uint32_t kErrorSharingViolation = 32;

// How far WER's 64-bit WER_RUNTIME_EXCEPTION_INFORMATION reaches, in bytes from its
// start: to the end of `context`, and to the end of `bIsFatal`, which only newer
// structures have. The caller's `dwSize` says how much of it there is.
inline constexpr std::uint32_t kInfoSizeWithContext = 1408;
inline constexpr std::uint32_t kInfoSizeWithFatalFlag = 1420;

// What the capture uses of the WER exception information.
struct CrashInfo {
  Handle process = nullptr;          // the crashed client (hProcess)
  Handle thread = nullptr;           // the faulting thread (hThread)
  std::uint32_t code = 0;            // exceptionRecord.ExceptionCode
  std::uint64_t address = 0;         // exceptionRecord.ExceptionAddress
  const void* exception_record = nullptr;  // address of exceptionRecord in the WER information
  const void* context = nullptr;           // address of context in the WER information
  std::uint32_t size = kInfoSizeWithFatalFlag;  // dwSize
  bool fatal = true;  // bIsFatal, where `size` covers it; true where it does not
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

// What GetFileAttributesW says of a path: a reparse point (a junction, mount point or
// symbolic link, FILE_ATTRIBUTE_REPARSE_POINT), anything else, or nothing when it fails.
enum class ReparseState { kPlain, kReparsePoint, kUnknown };

// One entry of a folder listing, as FindFirstFileW and FindNextFileW give it.
struct FolderEntry {
  char16_t name[kPathCapacity] = {};  // file name without folder, terminated
  std::uint64_t last_write = 0;       // ftLastWriteTime: 100 ns units since 1601, UTC
  bool directory = false;             // FILE_ATTRIBUTE_DIRECTORY
};

// The crash folder: made, checked and listed.
class FolderPort {
 public:
  // CreateDirectoryW with no security attributes; kAlreadyExists for ERROR_ALREADY_EXISTS.
  virtual FolderResult CreateFolder(const char16_t* path) = 0;
  // GetFileAttributesW, for the reparse point attribute alone: it describes the link
  // itself, not what the link points to.
  virtual ReparseState Reparse(const char16_t* path) = 0;
  // FindFirstFileW with a pattern such as "<folder>\Client*.tmp": the first entry that
  // matches, InvalidHandle() when none does or the call fails.
  virtual Handle FindFirst(const char16_t* pattern, FolderEntry* entry) = 0;
  // FindNextFileW: true while an entry was stored.
  virtual bool FindNext(Handle find, FolderEntry* entry) = 0;
  // FindClose, for what FindFirst returned.
  virtual void CloseFind(Handle find) = 0;

 protected:
  ~FolderPort() = default;
};

// A DLL of the system folder, loaded for one step of a capture and freed after it
// (system_library.h): null when it cannot be loaded.
class LibraryPort {
 public:
  // GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "AddDllDirectory") succeeds: the
  // loader knows the LOAD_LIBRARY_SEARCH_* flags (Windows 8 and later, Windows 7 with
  // KB2533623).
  virtual bool SearchFlagsKnown() = 0;
  // LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32): the DLL and its own
  // imports from the system folder alone.
  virtual Handle LoadFromSystemFolder(const char16_t* name) = 0;
  // GetSystemDirectoryW: the system folder's full path, false when it fails or does not
  // fit `capacity` units.
  virtual bool SystemFolder(char16_t* buffer, std::size_t capacity) = 0;
  // LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) for a full path: the DLL
  // at that path, its imports searched from its own folder first.
  virtual Handle LoadFullPath(const char16_t* path) = 0;
  // FreeLibrary.
  virtual void Free(Handle library) = 0;

 protected:
  ~LibraryPort() = default;
};

// VS_FIXEDFILEINFO as a version resource stores it: 13 little-endian DWORDs.
inline constexpr std::uint32_t kFixedFileInfoSize = 52;
inline constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BDu;

// The client's version resource: one question, though the platform answers it with several
// calls of version.dll (GetFileVersionInfoSizeW, GetFileVersionInfoW into a heap block,
// VerQueryValueW of the root block), all made and undone inside this one call.
class VersionPort {
 public:
  // What VerQueryValueW gives for the root block of the resource of the executable at
  // `path`, with the functions of `version_dll`: its length into `*length`, and as much of
  // its first kFixedFileInfoSize bytes as it has into `info`. False when there is no
  // version resource, or a call fails or answers with no data.
  virtual bool RootBlock(Handle version_dll, const char16_t* path,
                         unsigned char (&info)[kFixedFileInfoSize], std::uint32_t* length) = 0;

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

// One entry of the platform's list of time zones: its key name, and the entry as the
// platform gave it (a DYNAMIC_TIME_ZONE_INFORMATION), to be handed back to ZoneLocalTime.
struct TimeZoneEntry {
  char16_t key_name[128] = {};  // terminated
  alignas(8) unsigned char platform[432] = {};
};

class ClockPort {
 public:
  virtual CalendarTime UtcNow() = 0;  // GetSystemTime
  // EnumDynamicTimeZoneInformation(index) of `advapi32`: false at the end of the list,
  // on failure, or when the library lacks the function.
  virtual bool ZoneAt(Handle advapi32, std::uint32_t index, TimeZoneEntry* entry) = 0;
  // GetTimeZoneInformationForYear for that entry and the UTC year, then
  // SystemTimeToTzSpecificLocalTime; false when either fails.
  virtual bool ZoneLocalTime(const TimeZoneEntry& zone, const CalendarTime& utc,
                             CalendarTime* local) = 0;
  virtual CalendarTime LocalNow() = 0;  // GetLocalTime
  // Sleep: only ever between attempts of a call that the platform says to repeat.
  virtual void Sleep(std::uint32_t milliseconds) = 0;

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
  // CreateFileW(GENERIC_WRITE, FILE_SHARE_READ, no security attributes, CREATE_NEW,
  // FILE_ATTRIBUTE_NORMAL): a file that did not exist, InvalidHandle() when anything bears
  // the name (ERROR_FILE_EXISTS) or the call fails.
  virtual Handle CreateNew(const char16_t* path) = 0;
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

// MiniDumpWriteDump of `dbghelp` with exactly one user stream and no callback.
class DumpWriterPort {
 public:
  virtual bool WriteDump(Handle dbghelp, const DumpRequest& request) = 0;

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

// The running system itself.
class SystemPort {
 public:
  // GetLastError: the code of the calling thread's last failed call, asked right after it.
  virtual std::uint32_t LastError() = 0;
  // RtlGetVersion's build number: the Windows that really runs, whatever the host's
  // manifest makes GetVersionExW say. False when it cannot be had.
  virtual bool WindowsBuild(std::uint32_t* build) = 0;

 protected:
  ~SystemPort() = default;
};

// The whole platform as the capture sees it.
struct CapturePorts {
  ProcessPort& process;
  ModulePort& modules;
  FolderPort& folders;
  LibraryPort& libraries;
  VersionPort& version;
  SettingsPort& settings;
  ClockPort& clock;
  FilePort& files;
  DumpWriterPort& dumps;
  ProcessStartPort& starter;
  HandlePort& handles;
  SystemPort& system;
};

}  // namespace capture
