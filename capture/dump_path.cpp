#include "capture/dump_path.h"

#include <cstring>

#include "capture/context_block.h"
#include "capture/context_block_read.h"
#include "capture/dump_name.h"
#include "common/ascii_match.h"
#include "common/bounded_string.h"

namespace capture {
namespace {

constexpr std::size_t kPathCapacity = 260;
constexpr std::size_t kVersionCapacity = 64;
// "_" and a tag of at most 63 units, terminator included: 65 units.
constexpr std::size_t kTagUnits = sizeof(CrashContextBlock::tag) / sizeof(CrashContextUnit);
constexpr std::size_t kTagSuffixCapacity = 1 + kTagUnits;

using common::Succeeded;

// The file version of `image` as "%u.%u.%u.%u". The resource is the only heap block of
// a capture: it is freed here, before the result is looked at, on every path.
bool ReadClientVersion(VersionPort& port, const char16_t* image, char16_t* version,
                       std::size_t capacity) {
  const std::uint32_t size = port.VersionInfoSize(image);
  if (size == 0) return false;  // no version resource
  void* block = port.AllocateBlock(size);
  if (block == nullptr) return false;
  std::uint32_t ms = 0;
  std::uint32_t ls = 0;
  const bool found = port.VersionInfo(image, size, block) && port.FixedFileVersion(block, &ms, &ls);
  port.FreeBlock(block);
  if (!found) return false;
  return Succeeded(common::BoundedFormat(version, capacity, u"%u.%u.%u.%u",
                                         {ms >> 16, ms & 0xFFFFu, ls >> 16, ls & 0xFFFFu}));
}

// The language of the dump name: the block's when it gives one, else the client's
// settings file, else the default; always normalised.
void SettleLanguage(SettingsPort& settings, const CrashContextBlock* block,
                    const char16_t* client_dir, char16_t (&language)[kLanguageCapacity]) {
  if (block != nullptr && block->language[0] != u'\0') {
    NormalizeGameLanguage(block->language, language);
    return;
  }
  char16_t settings_path[kPathCapacity] = {};
  if (!Succeeded(common::BoundedFormat(settings_path, kPathCapacity, u"%s\\Vostrel.ini",
                                       {client_dir}))) {
    NormalizeGameLanguage(u"ENEU", language);
    return;
  }
  char16_t value[kLanguageCapacity] = {};
  settings.ProfileString(u"Locale", u"Language", u"ENEU", value, kLanguageCapacity, settings_path);
  value[kLanguageCapacity - 1] = u'\0';  // whatever the port wrote, it ends inside the buffer
  NormalizeGameLanguage(value, language);
}

// Central European time now, or the machine's local time when the zone cannot be had.
CalendarTime CentralEuropeanNow(ClockPort& clock) {
  const CalendarTime utc = clock.UtcNow();
  CalendarTime local;
  if (!clock.ZoneLocalTime(u"Central European Standard Time", utc, &local)) local = clock.LocalNow();
  return local;
}

}  // namespace

bool BuildDumpPath(NamingPorts ports, const CrashInfo* info, std::uint64_t context_address,
                   char16_t* dump_path, std::size_t dump_path_capacity, char16_t* client_dir,
                   std::size_t client_dir_capacity) {
  if (info == nullptr) return false;

  // Only the game client is ours to handle; everything after this depends on its folder.
  char16_t image[kPathCapacity] = {};
  if (!ports.process.ImagePath(info->process, image, kPathCapacity)) return false;
  char16_t* last_backslash = nullptr;
  std::size_t length = 0;
  for (; length < kPathCapacity && image[length] != u'\0'; ++length) {
    if (image[length] == u'\\') last_backslash = &image[length];
  }
  if (length == kPathCapacity) return false;  // no terminator: no usable path
  if (last_backslash == nullptr) return false;
  if (!common::EqualsIgnoringAsciiCase(last_backslash + 1, u"Client.exe")) return false;

  // Client directory and crash folder, both from the path cut at its last backslash.
  *last_backslash = u'\0';
  if (!Succeeded(common::BoundedCopy(client_dir, client_dir_capacity, image))) return false;
  char16_t crash_folder[kPathCapacity] = {};
  if (!Succeeded(common::BoundedFormat(crash_folder, kPathCapacity, u"%s\\Crash", {image}))) {
    return false;
  }
  // An existing folder will do; so does anything else of that name, which then makes
  // the dump file itself fail later.
  if (ports.folders.CreateFolder(crash_folder) == FolderResult::kFailed) return false;
  *last_backslash = u'\\';

  char16_t client_version[kVersionCapacity] = {};
  if (!ReadClientVersion(ports.version, image, client_version, kVersionCapacity)) return false;

  // A block that cannot be read costs only its own fields; the client's files stand in.
  CrashContextBlock block;
  std::memset(&block, 0, sizeof(block));
  const bool block_read = ReadContextBlock(ports.process, info->process, context_address, &block);

  char16_t language[kLanguageCapacity] = {};
  SettleLanguage(ports.settings, block_read ? &block : nullptr, client_dir, language);

  const CalendarTime time = CentralEuropeanNow(ports.clock);

  // Without the block, the one version that only development builds carry marks them.
  const bool development = block_read
                               ? block.developmentBuild != 0
                               : common::EqualsIgnoringAsciiCase(client_version, u"10.1.0.0");
  const char16_t* development_mark = development ? u"_Dev" : u"";

  // The tag is the client's free text: a unit that no file name may hold becomes '_', so
  // the tag can neither leave the crash folder nor make the dump file fail.
  char16_t tag_suffix[kTagSuffixCapacity] = {};
  if (block_read && block.tag[0] != u'\0') {
    char16_t tag[kTagUnits] = {};
    SanitizeTag(block.tag, tag, kTagUnits);
    if (!Succeeded(common::BoundedFormat(tag_suffix, kTagSuffixCapacity, u"_%s", {tag}))) {
      return false;
    }
  }

  return Succeeded(common::BoundedFormat(
      dump_path, dump_path_capacity, u"%s\\Client%s_%s_%04u-%02u-%02u_%02u-%02u-%02u%s_%s.dmp",
      {crash_folder, development_mark, client_version, time.year, time.month, time.day,
       time.hour, time.minute, time.second, tag_suffix, language}));
}

}  // namespace capture
