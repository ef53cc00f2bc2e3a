#include "capture/dump_path.h"

#include <cstring>

#include "capture/context_block.h"
#include "capture/context_block_read.h"
#include "capture/dump_name.h"
#include "common/ascii_match.h"
#include "common/bounded_string.h"

namespace capture {
namespace {

using common::Succeeded;

// The language the client's settings file gives, into `value`; null when the file's path
// does not fit, which leaves the name the default language.
const char16_t* SettingsLanguage(SettingsPort& settings, const char16_t* client_dir,
                                 char16_t (&value)[kLanguageCapacity]) {
  char16_t settings_path[kPathCapacity] = {};
  if (!Succeeded(common::BoundedFormat(settings_path, kPathCapacity, u"%s\\Vostrel.ini",
                                       {client_dir}))) {
    return nullptr;
  }
  settings.ProfileString(u"Locale", u"Language", u"ENEU", value, kLanguageCapacity, settings_path);
  value[kLanguageCapacity - 1] = u'\0';  // whatever the port wrote, it ends inside the buffer
  return value;
}

// Central European time now, or the machine's local time when the zone cannot be had.
CalendarTime CentralEuropeanNow(ClockPort& clock) {
  const CalendarTime utc = clock.UtcNow();
  CalendarTime local;
  if (!clock.ZoneLocalTime(u"Central European Standard Time", utc, &local)) local = clock.LocalNow();
  return local;
}

}  // namespace

bool BuildDumpPath(const CapturePorts& ports, const CrashInfo* info,
                   std::uint64_t context_address, char16_t* dump_path,
                   std::size_t dump_path_capacity, char16_t* client_dir,
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

  DumpNameParts parts;
  parts.crash_folder = crash_folder;
  if (!ports.version.FixedFileVersion(image, &parts.version_ms, &parts.version_ls)) return false;

  // A block that cannot be read costs only its own fields; the client's files stand in.
  CrashContextBlock block;
  std::memset(&block, 0, sizeof(block));
  char16_t settings_language[kLanguageCapacity] = {};
  if (ReadContextBlock(ports.process, info->process, context_address, &block)) {
    parts.block = &block;
  }
  parts.language = parts.block != nullptr && block.language[0] != u'\0'
                       ? block.language
                       : SettingsLanguage(ports.settings, client_dir, settings_language);
  parts.time = CentralEuropeanNow(ports.clock);
  return ComposeDumpPath(parts, dump_path, dump_path_capacity);
}

}  // namespace capture
