// The dump path builder: recognises the client, creates the crash folder and composes
// the dump path from the development mark, client version, Central European time, tag
// and game language.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/platform.h"

namespace capture {

enum class FolderResult { kCreated, kAlreadyExists, kFailed };

// CreateDirectoryW with no security attributes; kAlreadyExists for ERROR_ALREADY_EXISTS.
class FolderPort {
 public:
  virtual FolderResult CreateFolder(const char16_t* path) = 0;

 protected:
  ~FolderPort() = default;
};

// The version resource of an executable, one method per platform call.
class VersionPort {
 public:
  virtual std::uint32_t VersionInfoSize(const char16_t* path) = 0;  // GetFileVersionInfoSizeW
  virtual void* AllocateBlock(std::uint32_t size) = 0;   // HeapAlloc(GetProcessHeap(), 0, size)
  virtual void FreeBlock(void* block) = 0;                // HeapFree
  virtual bool VersionInfo(const char16_t* path, std::uint32_t size, void* block) = 0;  // GetFileVersionInfoW
  // VerQueryValueW(block, "\\"): false when the call fails or gives a null pointer.
  virtual bool FixedFileVersion(const void* block, std::uint32_t* version_ms,
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

struct NamingPorts {
  ProcessPort& process;
  FolderPort& folders;
  VersionPort& version;
  SettingsPort& settings;
  ClockPort& clock;
};

// True when the dump path is complete. Writes the client directory (no trailing
// backslash) early, the dump path only at the end; see the failure table in the tests.
// Units of the block's tag that Windows refuses in a file name enter the name as '_'.
// Uses no heap but the version resource block, which it frees before going on.
bool BuildDumpPath(NamingPorts ports, const CrashInfo* info, std::uint64_t context_address,
                   char16_t* dump_path, std::size_t dump_path_capacity, char16_t* client_dir,
                   std::size_t client_dir_capacity);

}  // namespace capture
