#include "capture/ports_win.h"

#include <windows.h>
// tlhelp32.h and dbghelp.h need windows.h first.
#include <dbghelp.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstring>
#include <iterator>

#include "capture/system_library_win.h"
#include "common/bounded_string.h"

namespace capture {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text passes to the wide calls as is");

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* Wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

// Capacities beyond a DWORD are cut; the platform never needs more than it can count.
DWORD ClampToDword(std::size_t value) {
  return value > MAXDWORD ? MAXDWORD : static_cast<DWORD>(value);
}

// --- processes and modules ---------------------------------------------------------

// The client is a 64-bit process; the snapshot reads entries of this exact size.
static_assert(sizeof(MODULEENTRY32W) == 1080, "64-bit module entry");
static_assert(sizeof(ModuleEntry::name) == sizeof(MODULEENTRY32W::szModule));

using EntryCall = BOOL(WINAPI*)(HANDLE, LPMODULEENTRY32W);

bool FetchModule(EntryCall call, Handle snapshot, ModuleEntry* entry) {
  if (entry == nullptr) return false;
  MODULEENTRY32W platform_entry{};
  platform_entry.dwSize = sizeof(platform_entry);
  if (!call(static_cast<HANDLE>(snapshot), &platform_entry)) return false;
  entry->base = reinterpret_cast<std::uintptr_t>(platform_entry.modBaseAddr);
  entry->size = platform_entry.modBaseSize;
  std::memcpy(entry->name, platform_entry.szModule, sizeof(entry->name));
  entry->name[std::size(entry->name) - 1] = u'\0';
  return true;
}

// --- version resource and clock ----------------------------------------------------

// The version resource's block, from the process heap and given back on every path.
class HeapBlock {
 public:
  explicit HeapBlock(DWORD size)
      : block_(HeapAlloc(GetProcessHeap(),  // hHeap
                         0,                 // dwFlags: no zeroing, no exceptions
                         size)) {}          // dwBytes
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  ~HeapBlock() {
    if (block_ != nullptr) HeapFree(GetProcessHeap(), 0, block_);
  }
  void* get() const { return block_; }

 private:
  void* block_;
};

CalendarTime FromSystemTime(const SYSTEMTIME& t) {
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

SYSTEMTIME ToSystemTime(const CalendarTime& t) {
  SYSTEMTIME s = {};
  s.wYear = t.year;
  s.wMonth = t.month;
  s.wDay = t.day;
  s.wHour = t.hour;
  s.wMinute = t.minute;
  s.wSecond = t.second;
  return s;  // day of week and milliseconds stay 0: the conversion does not read them
}

}  // namespace

bool WinProcessPort::ImagePath(Handle process, char16_t* buffer, std::size_t capacity) {
  DWORD size = ClampToDword(capacity);  // in: capacity in units; out: length without terminator
  return QueryFullProcessImageNameW(static_cast<HANDLE>(process),  // hProcess
                                    0,                               // dwFlags: Win32 path form
                                    Wide(buffer),                    // lpExeName
                                    &size) != FALSE;                 // lpdwSize
}

bool WinProcessPort::ReadMemory(Handle process, std::uint64_t address, void* dest, std::size_t size,
                                std::size_t* bytes_read) {
  SIZE_T read = 0;
  const BOOL ok = ReadProcessMemory(static_cast<HANDLE>(process),  // hProcess
                                    reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(address)),  // lpBaseAddress
                                    dest,   // lpBuffer
                                    size,   // nSize
                                    &read);  // lpNumberOfBytesRead: also set on a partial copy
  *bytes_read = read;
  return ok != FALSE;
}

std::uint32_t WinProcessPort::ProcessId(Handle process) {
  return GetProcessId(static_cast<HANDLE>(process));  // 0 on failure
}

std::uint32_t WinProcessPort::ThreadId(Handle thread) {
  return GetThreadId(static_cast<HANDLE>(thread));  // 0 on failure
}

Handle WinModulePort::OpenSnapshot(std::uint32_t process_id) {
  // Both flags: a 64-bit snapshot of a 64-bit process lists its modules; the second flag
  // adds the 32-bit ones of a WOW64 process and costs nothing otherwise.
  return CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, process_id);
}

bool WinModulePort::FirstModule(Handle snapshot, ModuleEntry* entry) {
  return FetchModule(Module32FirstW, snapshot, entry);
}

bool WinModulePort::NextModule(Handle snapshot, ModuleEntry* entry) {
  return FetchModule(Module32NextW, snapshot, entry);
}

FolderResult WinFolderPort::CreateFolder(const char16_t* path) {
  if (CreateDirectoryW(Wide(path),  // lpPathName: only the last level is created
                       nullptr)) {  // lpSecurityAttributes: inherit the parent's
    return FolderResult::kCreated;
  }
  // Also reported when a file, not a folder, bears the name; the caller accepts both.
  return GetLastError() == ERROR_ALREADY_EXISTS ? FolderResult::kAlreadyExists : FolderResult::kFailed;
}

bool WinVersionPort::FixedFileVersion(const char16_t* path, std::uint32_t* version_ms,
                                      std::uint32_t* version_ls) {
  // Bound from System32 for this call only: see system_library_win.h.
  const SystemLibrary version(L"version.dll");
  const auto size_of = version.Find<decltype(&GetFileVersionInfoSizeW)>("GetFileVersionInfoSizeW");
  const auto read = version.Find<decltype(&GetFileVersionInfoW)>("GetFileVersionInfoW");
  const auto query = version.Find<decltype(&VerQueryValueW)>("VerQueryValueW");
  if (size_of == nullptr || read == nullptr || query == nullptr) return false;

  DWORD ignored = 0;
  const DWORD size = size_of(Wide(path),  // lptstrFilename
                             &ignored);   // lpdwHandle: always set to 0
  if (size == 0) return false;            // no version resource
  const HeapBlock block(size);
  if (block.get() == nullptr) return false;
  if (!read(Wide(path),    // lptstrFilename
            0,             // dwHandle: ignored
            size,          // dwLen: as GetFileVersionInfoSizeW gave it
            block.get())) {  // lpData
    return false;
  }
  void* value = nullptr;
  UINT length = 0;
  if (!query(block.get(),  // pBlock
             L"\\",        // lpSubBlock: the root block, VS_FIXEDFILEINFO
             &value,       // lplpBuffer: points into the block
             &length)      // puLen
      || value == nullptr) {
    return false;
  }
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
  *version_ms = info->dwFileVersionMS;
  *version_ls = info->dwFileVersionLS;
  return true;
}

void WinSettingsPort::ProfileString(const char16_t* section, const char16_t* key,
                                    const char16_t* default_value, char16_t* buffer,
                                    std::size_t capacity, const char16_t* path) {
  GetPrivateProfileStringW(Wide(section),        // lpAppName
                           Wide(key),            // lpKeyName
                           Wide(default_value),  // lpDefault: for a missing file, section or key
                           Wide(buffer),         // lpReturnedString
                           ClampToDword(capacity),  // nSize: value cut to nSize - 1 units
                           Wide(path));          // lpFileName: a full path, not the Windows folder
}

CalendarTime WinClockPort::UtcNow() {
  SYSTEMTIME now = {};
  GetSystemTime(&now);
  return FromSystemTime(now);
}

bool WinClockPort::ZoneLocalTime(const char16_t* zone_key_name, const CalendarTime& utc,
                                 CalendarTime* local) {
  DYNAMIC_TIME_ZONE_INFORMATION zone = {};
  if (!common::Succeeded(common::BoundedCopy(reinterpret_cast<char16_t*>(zone.TimeZoneKeyName),
                                             std::size(zone.TimeZoneKeyName), zone_key_name))) {
    return false;
  }
  // The rules of the UTC year, also in the hour in which the zone has already reached
  // the next year: the rules of both years agree around New Year.
  TIME_ZONE_INFORMATION rules = {};
  if (!GetTimeZoneInformationForYear(utc.year,  // wYear
                                     &zone,     // pdtzi: looked up by its key name
                                     &rules)) { // ptzi
    return false;
  }
  const SYSTEMTIME universal = ToSystemTime(utc);
  SYSTEMTIME converted = {};
  if (!SystemTimeToTzSpecificLocalTime(&rules,         // lpTimeZoneInformation
                                       &universal,     // lpUniversalTime
                                       &converted)) {  // lpLocalTime
    return false;
  }
  *local = FromSystemTime(converted);
  return true;
}

CalendarTime WinClockPort::LocalNow() {
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  return FromSystemTime(now);
}

bool WinFilePort::Delete(const char16_t* path) { return DeleteFileW(Wide(path)) != FALSE; }

Handle WinFilePort::CreateForWriting(const char16_t* path) {
  // Readers may look at the file while it is written; a second writer is kept out, so
  // two captures that compose the same name cannot interleave their bytes.
  return CreateFileW(Wide(path),
                     GENERIC_WRITE,          // dwDesiredAccess
                     FILE_SHARE_READ,        // dwShareMode
                     nullptr,                // lpSecurityAttributes
                     CREATE_ALWAYS,          // dwCreationDisposition
                     FILE_ATTRIBUTE_NORMAL,  // dwFlagsAndAttributes
                     nullptr);               // hTemplateFile
}

bool WinFilePort::Write(Handle file, const void* data, std::uint32_t size,
                        std::uint32_t* written) {
  DWORD count = 0;
  const BOOL ok = WriteFile(file, data, size, &count, nullptr);
  *written = count;
  return ok != FALSE;
}

bool WinFilePort::Flush(Handle file) { return FlushFileBuffers(file) != FALSE; }

bool WinFilePort::Size(Handle file, std::uint64_t* size) {
  LARGE_INTEGER value{};
  if (!GetFileSizeEx(file, &value)) return false;
  *size = static_cast<std::uint64_t>(value.QuadPart);
  return true;
}

bool WinFilePort::MoveReplacing(const char16_t* from, const char16_t* to) {
  return MoveFileExW(Wide(from), Wide(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
         FALSE;
}

PathKind WinFilePort::Kind(const char16_t* path) {
  const DWORD attributes = GetFileAttributesW(Wide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kDirectory : PathKind::kFile;
}

bool WinDumpWriterPort::WriteDump(const DumpRequest& request) {
  // The record and context live in the WER host (this process), not in the client.
  EXCEPTION_POINTERS pointers{};
  pointers.ExceptionRecord =
      const_cast<EXCEPTION_RECORD*>(static_cast<const EXCEPTION_RECORD*>(request.exception_record));
  pointers.ContextRecord = const_cast<CONTEXT*>(static_cast<const CONTEXT*>(request.context));

  MINIDUMP_EXCEPTION_INFORMATION exception{};
  exception.ThreadId = request.thread_id;
  exception.ExceptionPointers = &pointers;
  exception.ClientPointers = FALSE;

  MINIDUMP_USER_STREAM stream{};
  stream.Type = request.stream_type;
  stream.BufferSize = request.stream_size;
  stream.Buffer = const_cast<void*>(request.stream);
  MINIDUMP_USER_STREAM_INFORMATION streams{};
  streams.UserStreamCount = 1;
  streams.UserStreamArray = &stream;

  // Bound from System32 for this call only: see system_library_win.h.
  const SystemLibrary dbghelp(L"dbghelp.dll");
  const auto write_dump = dbghelp.Find<decltype(&MiniDumpWriteDump)>("MiniDumpWriteDump");
  if (write_dump == nullptr) return false;
  return write_dump(request.process,                                // hProcess
                    request.process_id,                             // ProcessId
                    request.file,                                   // hFile
                    static_cast<MINIDUMP_TYPE>(request.dump_type),  // DumpType
                    &exception,                                     // ExceptionParam
                    &streams,                                       // UserStreamParam
                    nullptr) != FALSE;                              // CallbackParam
}

static_assert(sizeof(STARTUPINFOW) == 104, "the notifier gets the 64-bit start-up information");
static_assert((CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE) == 0x4000200);

bool WinProcessStartPort::Start(const char16_t* application, char16_t* command_line,
                                const char16_t* current_dir, StartedProcess* started) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  // Its own process group and the default error mode: the notifier must not inherit
  // the WER host's console signals or its suppressed error boxes.
  if (!CreateProcessW(Wide(application),   // lpApplicationName
                      Wide(command_line),  // lpCommandLine
                      nullptr,             // lpProcessAttributes
                      nullptr,             // lpThreadAttributes
                      FALSE,               // bInheritHandles
                      CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE,  // dwCreationFlags
                      nullptr,             // lpEnvironment
                      Wide(current_dir),   // lpCurrentDirectory
                      &startup,            // lpStartupInfo
                      &info)) {            // lpProcessInformation
    return false;
  }
  started->process = info.hProcess;
  started->thread = info.hThread;
  return true;
}

void WinHandlePort::Close(Handle handle) { CloseHandle(static_cast<HANDLE>(handle)); }

}  // namespace capture
