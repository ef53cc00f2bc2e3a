#include "capture/dump_path.h"

#include <cstring>
#include <iterator>

#include "capture/context_block.h"
#include "capture/context_block_read.h"
#include "capture/dump_name.h"
#include "capture/system_library.h"
#include "common/ascii_match.h"
#include "common/bounded_string.h"
#include "common/little_endian.h"

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

// The client's file version, from the fixed file information of its version resource.
// Only a root block that holds a whole VS_FIXEDFILEINFO with its signature is one: for a
// resource without it, version.dll points at whatever follows (under Wine, the bytes of
// the "StringFileInfo" key), which would name the dump with a made-up version.
bool ReadClientVersion(const CapturePorts& ports, const char16_t* image, DumpNameParts* parts) {
  const SystemLibrary version_dll(ports, u"version.dll");
  if (!version_dll.valid()) return false;
  unsigned char info[kFixedFileInfoSize] = {};
  std::uint32_t length = 0;
  if (!ports.version.RootBlock(version_dll.get(), image, info, &length)) return false;
  if (length < kFixedFileInfoSize || common::Le32(info) != kFixedFileInfoSignature) return false;
  parts->version_ms = common::Le32(info + 8);   // dwFileVersionMS
  parts->version_ls = common::Le32(info + 12);  // dwFileVersionLS
  return true;
}

// The zone list has about 140 entries; a list that never ends is not walked to the end.
constexpr std::uint32_t kMaxTimeZones = 1024;

// The entry of the platform's time zone list with `key_name`: the platform converts times
// with an entry of its own list, not with a key name alone.
bool FindTimeZone(const CapturePorts& ports, Handle advapi32, const char16_t* key_name,
                  TimeZoneEntry* zone) {
  for (std::uint32_t index = 0; index < kMaxTimeZones; ++index) {
    if (!ports.clock.ZoneAt(advapi32, index, zone)) return false;
    zone->key_name[std::size(zone->key_name) - 1] = u'\0';
    if (common::EqualsIgnoringAsciiCase(zone->key_name, key_name)) return true;
  }
  return false;
}

// Central European time now, or the machine's local time when the zone cannot be had.
CalendarTime CentralEuropeanNow(const CapturePorts& ports) {
  const CalendarTime utc = ports.clock.UtcNow();
  CalendarTime local;
  if (!LocalTimeInZone(ports, u"Central European Standard Time", utc, &local)) {
    local = ports.clock.LocalNow();
  }
  return local;
}

}  // namespace

bool LocalTimeInZone(const CapturePorts& ports, const char16_t* key_name, const CalendarTime& utc,
                     CalendarTime* local) {
  // The zone list comes from advapi32.dll (Windows 8 and later).
  const SystemLibrary advapi32(ports, u"advapi32.dll");
  TimeZoneEntry zone;
  return advapi32.valid() && FindTimeZone(ports, advapi32.get(), key_name, &zone) &&
         ports.clock.ZoneLocalTime(zone, utc, local);
}

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
  // the dump file itself fail later. A junction, mount point or symbolic link in its
  // place will not: whoever may add files to the folder may also turn it, once empty,
  // into a link, and a WER host running elevated would then write where the link
  // points, under names anyone can predict.
  if (ports.folders.CreateFolder(crash_folder) == FolderResult::kFailed) return false;
  if (ports.folders.Reparse(crash_folder) != ReparseState::kPlain) return false;
  *last_backslash = u'\\';

  DumpNameParts parts;
  parts.crash_folder = crash_folder;
  if (!ReadClientVersion(ports, image, &parts)) return false;

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
  parts.time = CentralEuropeanNow(ports);
  return ComposeDumpPath(parts, dump_path, dump_path_capacity);
}

}  // namespace capture
