#include "capture/temporary_files.h"

#include "capture/dump_name.h"
#include "capture/unique_handle.h"
#include "common/bounded_string.h"
#include "common/civil_time.h"

namespace capture {
namespace {

using common::BoundedFormat;
using common::Succeeded;

// Skips `text` at `p`; false, with `p` unmoved, when it is not there.
bool Skip(const char16_t*& p, const char16_t* text) {
  const char16_t* q = p;
  for (; *text != u'\0'; ++text, ++q) {
    if (*q != *text) return false;
  }
  p = q;
  return true;
}

// Skips a run of ASCII digits at `p`: true when it is `min` to `max` digits long, which
// for a 16-bit number printed with "%u" is 1 to 5, with "%02u" 2 to 5, with "%04u" 4 to 5.
bool SkipNumber(const char16_t*& p, std::size_t min, std::size_t max = 5) {
  std::size_t count = 0;
  while (*p >= u'0' && *p <= u'9') {
    ++p;
    ++count;
  }
  return count >= min && count <= max;
}

bool IsLanguageUnit(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') || (unit >= u'0' && unit <= u'9');
}

// The language, the tag suffix and the extensions that end a temporary name, in
// [begin, end): ["_" tag] "_" language ".dmp.tmp" or ".txt.tmp".
bool IsTemporaryNameEnd(const char16_t* begin, const char16_t* end) {
  constexpr std::size_t kExtension = 8;  // ".dmp.tmp"
  if (static_cast<std::size_t>(end - begin) < kExtension) return false;
  const char16_t* extension = end - kExtension;
  const char16_t* p = extension;
  if (!Skip(p, u".dmp.tmp")) {
    p = extension;
    if (!Skip(p, u".txt.tmp")) return false;
  }
  const char16_t* language = extension;
  while (language > begin && IsLanguageUnit(language[-1])) --language;
  const std::ptrdiff_t language_units = extension - language;
  if (language_units < 1 || language_units >= static_cast<std::ptrdiff_t>(kLanguageCapacity) ||
      language == begin || language[-1] != u'_') {
    return false;
  }
  const char16_t* tag_end = language - 1;
  if (tag_end == begin) return true;  // no tag
  // "_" and a tag of 1 to 63 units that a file name may hold.
  if (*begin != u'_' || tag_end - (begin + 1) < 1 || tag_end - (begin + 1) > 63) return false;
  for (const char16_t* unit = begin + 1; unit < tag_end; ++unit) {
    if (IsForbiddenInFileName(*unit)) return false;
  }
  return true;
}

// Seconds since 1970-01-01 UTC.
std::int64_t Seconds(const CalendarTime& t) {
  return common::SecondsFromCivil({t.year, t.month, t.day, t.hour, t.minute, t.second});
}
std::int64_t SecondsOfFileTime(std::uint64_t file_time) {
  constexpr std::int64_t kSeconds1601To1970 = 11644473600;
  return static_cast<std::int64_t>(file_time / 10000000) - kSeconds1601To1970;
}

}  // namespace

bool ComposeTemporaryPath(const char16_t* final_path, char16_t* temp, std::size_t capacity) {
  return Succeeded(BoundedFormat(temp, capacity, u"%s.tmp", {final_path}));
}

bool IsCaptureTemporaryName(const char16_t* name) {
  if (name == nullptr) return false;
  // "Client%s_%u.%u.%u.%u_%04u-%02u-%02u_%02u-%02u-%02u", the mark "_Dev" or nothing.
  const char16_t* p = name;
  if (!Skip(p, common::kDumpNamePrefix.wide)) return false;
  Skip(p, common::kDevelopmentMark.wide);
  if (!Skip(p, u"_") || !SkipNumber(p, 1) || !Skip(p, u".") || !SkipNumber(p, 1) ||
      !Skip(p, u".") || !SkipNumber(p, 1) || !Skip(p, u".") || !SkipNumber(p, 1)) {
    return false;
  }
  if (!Skip(p, u"_") || !SkipNumber(p, 4) || !Skip(p, u"-") || !SkipNumber(p, 2) ||
      !Skip(p, u"-") || !SkipNumber(p, 2) || !Skip(p, u"_") || !SkipNumber(p, 2) ||
      !Skip(p, u"-") || !SkipNumber(p, 2) || !Skip(p, u"-") || !SkipNumber(p, 2)) {
    return false;
  }
  return IsTemporaryNameEnd(p, p + common::Length(p));
}

void RemoveStaleTemporaryFiles(const CapturePorts& ports, const char16_t* dump_path) {
  char16_t folder[kPathCapacity] = {};
  if (!Succeeded(common::BoundedCopy(folder, kPathCapacity, dump_path))) return;
  char16_t* last_backslash = nullptr;
  for (char16_t* p = folder; *p != u'\0'; ++p) {
    if (*p == u'\\') last_backslash = p;
  }
  if (last_backslash == nullptr) return;
  *last_backslash = u'\0';
  char16_t pattern[kPathCapacity] = {};
  if (!Succeeded(BoundedFormat(pattern, kPathCapacity, u"%s\\%s*.tmp",
                               {folder, common::kDumpNamePrefix.wide}))) {
    return;
  }

  // A temporary file that a capture is writing now cannot be deleted anyway (it is open
  // without delete sharing); the age also spares one between its close and its rename.
  const std::int64_t now = Seconds(ports.clock.UtcNow());
  FolderEntry entry;
  const UniqueFind listing(ports.folders, ports.folders.FindFirst(pattern, &entry));
  if (!listing.valid()) return;
  int listed = 0;
  do {
    entry.name[kPathCapacity - 1] = u'\0';
    if (entry.directory || !IsCaptureTemporaryName(entry.name) ||
        now - SecondsOfFileTime(entry.last_write) <= kStaleTemporarySeconds) {
      continue;
    }
    char16_t path[kPathCapacity] = {};
    if (Succeeded(BoundedFormat(path, kPathCapacity, u"%s\\%s", {folder, entry.name}))) {
      ports.files.Delete(path);
    }
  } while (++listed < kMaxListedTemporaryFiles && ports.folders.FindNext(listing.get(), &entry));
}

}  // namespace capture
