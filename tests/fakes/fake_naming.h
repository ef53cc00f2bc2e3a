// Fakes of the naming ports for the unit tests: a file system of folder names, version
// resources by path, INI values by path, and a clock with a small Central European rule.
// Each carries arbitrary data, counts calls and can make any single call fail.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "capture/dump_path.h"
#include "fakes/fake_process.h"

namespace fakes {

class FakeFolders : public capture::FolderPort {
 public:
  std::set<std::u16string> folders;  // existing folders, created ones included
  std::set<std::u16string> files;    // existing files: creating a folder of that name meets them
  bool create_fails = false;         // fails with an error other than "already exists"
  std::vector<std::u16string> create_calls;

  capture::FolderResult CreateFolder(const char16_t* path) override {
    create_calls.emplace_back(path);
    if (create_fails) return capture::FolderResult::kFailed;
    if (folders.count(path) != 0 || files.count(path) != 0) return capture::FolderResult::kAlreadyExists;
    folders.insert(path);
    return capture::FolderResult::kCreated;
  }
};

class FakeVersion : public capture::VersionPort {
 public:
  struct Resource {
    std::uint32_t ms;
    std::uint32_t ls;
  };
  std::map<std::u16string, Resource> resources;  // executables that carry a version resource
  bool allocate_fails = false;
  bool info_fails = false;
  bool query_fails = false;
  int allocations = 0;
  int frees = 0;
  int outstanding = 0;  // allocated and not yet freed

  static constexpr std::uint32_t kBlockSize = 1024;

  std::uint32_t VersionInfoSize(const char16_t* path) override {
    return resources.count(path) != 0 ? kBlockSize : 0;
  }
  void* AllocateBlock(std::uint32_t size) override {
    if (allocate_fails) return nullptr;
    ++allocations;
    ++outstanding;
    return std::calloc(size, 1);
  }
  void FreeBlock(void* block) override {
    ++frees;
    --outstanding;
    std::free(block);
  }
  bool VersionInfo(const char16_t* path, std::uint32_t size, void* block) override {
    auto it = resources.find(path);
    if (info_fails || it == resources.end() || size < sizeof(Resource)) return false;
    std::memcpy(block, &it->second, sizeof(Resource));
    return true;
  }
  bool FixedFileVersion(const void* block, std::uint32_t* ms, std::uint32_t* ls) override {
    if (query_fails) return false;
    Resource resource;
    std::memcpy(&resource, block, sizeof(resource));
    *ms = resource.ms;
    *ls = resource.ls;
    return true;
  }
};

class FakeSettings : public capture::SettingsPort {
 public:
  // path -> "Section/Key" -> value; a missing file, section or key gives the default.
  std::map<std::u16string, std::map<std::u16string, std::u16string>> files;
  int calls = 0;
  std::u16string last_path;

  void ProfileString(const char16_t* section, const char16_t* key, const char16_t* default_value,
                     char16_t* buffer, std::size_t capacity, const char16_t* path) override {
    ++calls;
    last_path = path;
    std::u16string value = default_value;
    auto file = files.find(path);
    if (file != files.end()) {
      auto entry = file->second.find(std::u16string(section) + u"/" + key);
      if (entry != file->second.end()) value = entry->second;
    }
    // As the platform does: the value cut to capacity - 1 units, terminated.
    const std::size_t count = value.size() < capacity - 1 ? value.size() : capacity - 1;
    std::memcpy(buffer, value.data(), count * sizeof(char16_t));
    buffer[count] = u'\0';
  }
};

// Central European time by the European rule: UTC+1, UTC+2 from the last Sunday of March
// 01:00 UTC to the last Sunday of October 01:00 UTC. Enough for the tests' dates.
class FakeClock : public capture::ClockPort {
 public:
  capture::CalendarTime utc{2026, 12, 8, 6, 41, 5};
  capture::CalendarTime machine_local{2001, 2, 3, 4, 5, 6};
  bool zone_known = true;
  std::u16string asked_zone;

  capture::CalendarTime UtcNow() override { return utc; }
  capture::CalendarTime LocalNow() override { return machine_local; }
  bool ZoneLocalTime(const char16_t* zone_key_name, const capture::CalendarTime& when,
                     capture::CalendarTime* local) override {
    asked_zone = zone_key_name;
    if (!zone_known || asked_zone != u"Central European Standard Time") return false;
    const long long seconds = ToSeconds(when);
    const bool summer = seconds >= SwitchSeconds(when.year, 3) && seconds < SwitchSeconds(when.year, 10);
    *local = FromSeconds(seconds + (summer ? 7200 : 3600));
    return true;
  }

 private:
  // Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
  static long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
  }
  static long long ToSeconds(const capture::CalendarTime& t) {
    return DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
  }
  static capture::CalendarTime FromSeconds(long long s) {
    long long z = s / 86400 + 719468;
    const long long secs = s % 86400;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const long long y = static_cast<long long>(yoe) + era * 400 + (m <= 2);
    return {static_cast<std::uint16_t>(y), static_cast<std::uint16_t>(m), static_cast<std::uint16_t>(d),
            static_cast<std::uint16_t>(secs / 3600), static_cast<std::uint16_t>(secs / 60 % 60),
            static_cast<std::uint16_t>(secs % 60)};
  }
  // 01:00 UTC on the last Sunday of the month.
  static long long SwitchSeconds(unsigned year, unsigned month) {
    const long long last = DaysFromCivil(year, month, 31);
    const long long weekday = (last + 4) % 7;  // 1970-01-01 was a Thursday; 0 is Sunday
    return (last - weekday) * 86400 + 3600;
  }
};

// All naming ports in one place, wired the way the tests' default client looks:
// D:\Game\Client.exe, version 10.1.0.0, no settings file.
struct FakeNaming {
  FakeProcess process;
  FakeFolders folders;
  FakeVersion version;
  FakeSettings settings;
  FakeClock clock;

  FakeNaming() {
    folders.folders.insert(u"D:\\Game");
    version.resources[u"D:\\Game\\Client.exe"] = {0x000A0001u, 0x00000000u};
  }
  capture::NamingPorts Ports() { return {process, folders, version, settings, clock}; }
};

}  // namespace fakes
