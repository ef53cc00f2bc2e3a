#include "capture/ports_win.h"

#include <windows.h>
// tlhelp32.h and dbghelp.h need windows.h first.
#include <dbghelp.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>


namespace capture {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text passes to the wide calls as is");

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* Wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

// Capacities beyond a DWORD are cut; the platform never needs more than it can count.
DWORD ClampToDword(std::size_t value) {
  return value > MAXDWORD ? MAXDWORD : static_cast<DWORD>(value);
}

static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED && kErrorBadLength == ERROR_BAD_LENGTH &&
              kErrorSharingViolation == ERROR_SHARING_VIOLATION);

HMODULE Module(Handle library) { return static_cast<HMODULE>(library); }

// The export `name` of a loaded library as a function of type `Function`; null when the
// library lacks it, which fails the caller's step like any other failed call.
template <typename Function>
Function Find(Handle library, const char* name) {
  if (library == nullptr) return nullptr;
  // GetProcAddress gives a generic function pointer; going through void* keeps GCC's
  // -Wcast-function-type quiet.
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(Module(library), name)));
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

// --- folders --------------------------------------------------------------------------

static_assert(sizeof(WIN32_FIND_DATAW::cFileName) == sizeof(FolderEntry::name));

void FromFindData(const WIN32_FIND_DATAW& data, FolderEntry* entry) {
  std::memcpy(entry->name, data.cFileName, sizeof(entry->name));
  entry->name[std::size(entry->name) - 1] = u'\0';
  entry->last_write = (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                      data.ftLastWriteTime.dwLowDateTime;
  entry->directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
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

bool WinLibraryPort::SearchFlagsKnown() {
  // The test LoadLibraryExW's page gives for the LOAD_LIBRARY_SEARCH_* flags. kernel32 is
  // in every process; GetModuleHandleW takes no reference that would need giving back.
  using AddDirectory = void*(WINAPI*)(const wchar_t*);
  return Find<AddDirectory>(GetModuleHandleW(L"kernel32.dll"), "AddDllDirectory") != nullptr;
}

Handle WinLibraryPort::LoadFromSystemFolder(const char16_t* name) {
  return LoadLibraryExW(Wide(name),                     // lpLibFileName: a bare name
                        nullptr,                        // hFile: reserved
                        LOAD_LIBRARY_SEARCH_SYSTEM32);  // dwFlags: System32 only
}

bool WinLibraryPort::SystemFolder(char16_t* buffer, std::size_t capacity) {
  // The length without the terminator when it fits; the size it needs, or 0, otherwise.
  const UINT length = GetSystemDirectoryW(Wide(buffer), ClampToDword(capacity));
  return length != 0 && length < capacity;
}

Handle WinLibraryPort::LoadFullPath(const char16_t* path) {
  // With a full path, this flag makes the loader look for the DLL's own imports in its
  // folder first, not in the host's.
  return LoadLibraryExW(Wide(path), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void WinLibraryPort::Free(Handle library) { FreeLibrary(Module(library)); }

FolderResult WinFolderPort::CreateFolder(const char16_t* path) {
  if (CreateDirectoryW(Wide(path),  // lpPathName: only the last level is created
                       nullptr)) {  // lpSecurityAttributes: inherit the parent's
    return FolderResult::kCreated;
  }
  // Also reported when a file, not a folder, bears the name; the caller accepts both.
  return GetLastError() == ERROR_ALREADY_EXISTS ? FolderResult::kAlreadyExists : FolderResult::kFailed;
}

ReparseState WinFolderPort::Reparse(const char16_t* path) {
  // For a link the attributes are the link's own, not its target's.
  const DWORD attributes = GetFileAttributesW(Wide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) return ReparseState::kUnknown;
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ReparseState::kReparsePoint
                                                          : ReparseState::kPlain;
}

Handle WinFolderPort::FindFirst(const char16_t* pattern, FolderEntry* entry) {
  WIN32_FIND_DATAW data{};
  const HANDLE find = FindFirstFileW(Wide(pattern),  // lpFileName: folder and wildcards
                                     &data);         // lpFindFileData
  if (find != INVALID_HANDLE_VALUE) FromFindData(data, entry);
  return find;
}

bool WinFolderPort::FindNext(Handle find, FolderEntry* entry) {
  WIN32_FIND_DATAW data{};
  if (!FindNextFileW(static_cast<HANDLE>(find), &data)) return false;
  FromFindData(data, entry);
  return true;
}

void WinFolderPort::CloseFind(Handle find) { FindClose(static_cast<HANDLE>(find)); }

bool WinVersionPort::RootBlock(Handle version_dll, const char16_t* path,
                               unsigned char (&info)[kFixedFileInfoSize], std::uint32_t* length) {
  const auto size_of = Find<decltype(&GetFileVersionInfoSizeW)>(version_dll, "GetFileVersionInfoSizeW");
  const auto read = Find<decltype(&GetFileVersionInfoW)>(version_dll, "GetFileVersionInfoW");
  const auto query = Find<decltype(&VerQueryValueW)>(version_dll, "VerQueryValueW");
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
  UINT value_length = 0;
  if (!query(block.get(),    // pBlock
             L"\\",          // lpSubBlock: the root block, VS_FIXEDFILEINFO
             &value,         // lplpBuffer: points into the block
             &value_length)  // puLen
      || value == nullptr) {
    return false;
  }
  // The length is the resource's own word: only what lies inside the block is read.
  const auto* begin = static_cast<const unsigned char*>(block.get());
  const auto* found = static_cast<const unsigned char*>(value);
  if (found < begin || found > begin + size) return false;
  const std::size_t inside = std::min<std::size_t>(value_length, begin + size - found);
  std::memcpy(info, found, std::min<std::size_t>(inside, kFixedFileInfoSize));
  *length = static_cast<std::uint32_t>(inside);
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

static_assert(sizeof(DYNAMIC_TIME_ZONE_INFORMATION) == sizeof(TimeZoneEntry::platform));
static_assert(sizeof(DYNAMIC_TIME_ZONE_INFORMATION::TimeZoneKeyName) ==
              sizeof(TimeZoneEntry::key_name));

bool WinClockPort::ZoneAt(Handle advapi32, std::uint32_t index, TimeZoneEntry* entry) {
  // Windows 8 and later; looked up, so that the module still loads on Windows 7.
  using EnumZones = DWORD(WINAPI*)(DWORD, PDYNAMIC_TIME_ZONE_INFORMATION);
  const auto enumerate = Find<EnumZones>(advapi32, "EnumDynamicTimeZoneInformation");
  if (enumerate == nullptr) return false;
  DYNAMIC_TIME_ZONE_INFORMATION zone = {};
  // ERROR_NO_MORE_ITEMS past the last entry.
  if (enumerate(index, &zone) != ERROR_SUCCESS) return false;
  std::memcpy(entry->platform, &zone, sizeof(zone));
  std::memcpy(entry->key_name, zone.TimeZoneKeyName, sizeof(entry->key_name));
  entry->key_name[std::size(entry->key_name) - 1] = u'\0';
  return true;
}

bool WinClockPort::ZoneLocalTime(const TimeZoneEntry& entry, const CalendarTime& utc,
                                 CalendarTime* local) {
  DYNAMIC_TIME_ZONE_INFORMATION zone = {};
  std::memcpy(&zone, entry.platform, sizeof(zone));
  // The rules of the UTC year, also in the hour in which the zone has already reached
  // the next year: the rules of both years agree around New Year.
  TIME_ZONE_INFORMATION rules = {};
  if (!GetTimeZoneInformationForYear(utc.year,  // wYear
                                     &zone,     // pdtzi: as the zone list gave it
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

void WinClockPort::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

bool WinFilePort::Delete(const char16_t* path) { return DeleteFileW(Wide(path)) != FALSE; }

Handle WinFilePort::CreateNew(const char16_t* path) {
  // Readers may look at the file while it is written; a second writer is kept out, so
  // two captures that compose the same name cannot interleave their bytes. CREATE_NEW
  // fails with ERROR_FILE_EXISTS on any existing name, a link included, where the other
  // dispositions would open the link's target (and FILE_FLAG_OPEN_REPARSE_POINT, which
  // would open the link itself, may not be combined with CREATE_ALWAYS).
  return CreateFileW(Wide(path),
                     GENERIC_WRITE,          // dwDesiredAccess
                     FILE_SHARE_READ,        // dwShareMode
                     nullptr,                // lpSecurityAttributes
                     CREATE_NEW,             // dwCreationDisposition
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

bool WinDumpWriterPort::WriteDump(Handle dbghelp, const DumpRequest& request) {
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

  const auto write_dump = Find<decltype(&MiniDumpWriteDump)>(dbghelp, "MiniDumpWriteDump");
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

std::uint32_t WinSystemPort::LastError() { return GetLastError(); }

bool WinSystemPort::WindowsBuild(std::uint32_t* build) {
  // GetVersionExW and VerifyVersionInfoW answer what the WER host's manifest lets them
  // (Windows 8 for a host that declares nothing newer); ntdll, loaded in every process,
  // says what really runs.
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  const auto get_version = Find<GetVersion>(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion");
  if (get_version == nullptr) return false;
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  if (get_version(&version) != 0) return false;  // STATUS_SUCCESS
  *build = version.dwBuildNumber;
  return true;
}

}  // namespace capture
