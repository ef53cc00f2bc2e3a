#include "capture/naming_win.h"

#include <windows.h>

#include <iterator>

#include "capture/system_library_win.h"
#include "common/bounded_string.h"

namespace capture {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text passes to the wide calls as is");

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

DWORD ClampToDword(std::size_t value) {
  return value > MAXDWORD ? MAXDWORD : static_cast<DWORD>(value);
}

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

FolderResult WinFolderPort::CreateFolder(const char16_t* path) {
  if (CreateDirectoryW(Wide(path),  // lpPathName: only the last level is created
                       nullptr)) {  // lpSecurityAttributes: inherit the parent's
    return FolderResult::kCreated;
  }
  // Also reported when a file, not a folder, bears the name; the caller accepts both.
  return GetLastError() == ERROR_ALREADY_EXISTS ? FolderResult::kAlreadyExists : FolderResult::kFailed;
}

// The version functions come from System32's version.dll, loaded for each call alone
// (see system_library_win.h). VerQueryValueW's answer points into the caller's block, so
// it stays valid after the library is freed.
std::uint32_t WinVersionPort::VersionInfoSize(const char16_t* path) {
  const SystemLibrary version(L"version.dll");
  const auto size_of = version.Find<decltype(&GetFileVersionInfoSizeW)>("GetFileVersionInfoSizeW");
  if (size_of == nullptr) return 0;
  DWORD ignored = 0;
  return size_of(Wide(path),  // lptstrFilename
                 &ignored);   // lpdwHandle: always set to 0
}

void* WinVersionPort::AllocateBlock(std::uint32_t size) {
  return HeapAlloc(GetProcessHeap(),  // hHeap
                   0,                 // dwFlags: no zeroing, no exceptions
                   size);             // dwBytes
}

void WinVersionPort::FreeBlock(void* block) {
  HeapFree(GetProcessHeap(),  // hHeap
           0,                 // dwFlags
           block);            // lpMem
}

bool WinVersionPort::VersionInfo(const char16_t* path, std::uint32_t size, void* block) {
  const SystemLibrary version(L"version.dll");
  const auto info = version.Find<decltype(&GetFileVersionInfoW)>("GetFileVersionInfoW");
  if (info == nullptr) return false;
  return info(Wide(path),  // lptstrFilename
              0,           // dwHandle: ignored
              size,        // dwLen: as GetFileVersionInfoSizeW gave it
              block) != FALSE;  // lpData
}

bool WinVersionPort::FixedFileVersion(const void* block, std::uint32_t* version_ms,
                                      std::uint32_t* version_ls) {
  const SystemLibrary version(L"version.dll");
  const auto query = version.Find<decltype(&VerQueryValueW)>("VerQueryValueW");
  if (query == nullptr) return false;
  void* value = nullptr;
  UINT length = 0;
  if (!query(block,     // pBlock
             L"\\",     // lpSubBlock: the root block, VS_FIXEDFILEINFO
             &value,    // lplpBuffer: points into the block
             &length)   // puLen
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
                           reinterpret_cast<wchar_t*>(buffer),  // lpReturnedString
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

}  // namespace capture
