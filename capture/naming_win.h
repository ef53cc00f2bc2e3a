// The naming ports through the Windows API: folders, version resources, the client's
// settings file and the clock. Declares the classes only, so that code without
// windows.h can instantiate them. The version calls come from System32's version.dll.
#pragma once

#include "capture/dump_path.h"

namespace capture {

class WinFolderPort final : public FolderPort {
 public:
  FolderResult CreateFolder(const char16_t* path) override;
};

class WinVersionPort final : public VersionPort {
 public:
  std::uint32_t VersionInfoSize(const char16_t* path) override;
  void* AllocateBlock(std::uint32_t size) override;
  void FreeBlock(void* block) override;
  bool VersionInfo(const char16_t* path, std::uint32_t size, void* block) override;
  bool FixedFileVersion(const void* block, std::uint32_t* version_ms,
                        std::uint32_t* version_ls) override;
};

class WinSettingsPort final : public SettingsPort {
 public:
  void ProfileString(const char16_t* section, const char16_t* key, const char16_t* default_value,
                     char16_t* buffer, std::size_t capacity, const char16_t* path) override;
};

class WinClockPort final : public ClockPort {
 public:
  CalendarTime UtcNow() override;
  bool ZoneLocalTime(const char16_t* zone_key_name, const CalendarTime& utc,
                     CalendarTime* local) override;
  CalendarTime LocalNow() override;
};

}  // namespace capture
