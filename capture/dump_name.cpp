#include "capture/dump_name.h"

#include "common/ascii_match.h"
#include "common/bounded_string.h"

namespace capture {
namespace {

using common::BoundedFormat;
using common::Succeeded;

// "65535.65535.65535.65535" and more.
constexpr std::size_t kVersionCapacity = 64;
// "_" and a tag of at most 63 units, terminator included: 65 units.
constexpr std::size_t kTagUnits = sizeof(CrashContextBlock::tag) / sizeof(CrashContextUnit);
constexpr std::size_t kTagSuffixCapacity = 1 + kTagUnits;

}  // namespace

bool ComposeDumpPath(const DumpNameParts& parts, char16_t* dump_path, std::size_t capacity) {
  const std::uint32_t ms = parts.version_ms;
  const std::uint32_t ls = parts.version_ls;
  char16_t version[kVersionCapacity] = {};
  if (!Succeeded(BoundedFormat(version, kVersionCapacity, u"%u.%u.%u.%u",
                               {ms >> 16, ms & 0xFFFFu, ls >> 16, ls & 0xFFFFu}))) {
    return false;
  }

  // Without the block, the one version that only development builds carry marks them.
  const bool development = parts.block != nullptr
                               ? parts.block->developmentBuild != 0
                               : common::EqualsIgnoringAsciiCase(version, u"10.1.0.0");
  const char16_t* development_mark = development ? common::kDevelopmentMark.wide : u"";

  // The tag is the client's free text: a unit that no file name may hold becomes '_', so
  // the tag can neither leave the crash folder nor make the dump file fail.
  char16_t tag_suffix[kTagSuffixCapacity] = {};
  if (parts.block != nullptr && parts.block->tag[0] != u'\0') {
    char16_t tag[kTagUnits] = {};
    SanitizeTag(parts.block->tag, tag, kTagUnits);
    if (!Succeeded(BoundedFormat(tag_suffix, kTagSuffixCapacity, u"_%s", {tag}))) return false;
  }

  char16_t language[kLanguageCapacity] = {};
  NormalizeGameLanguage(parts.language, language);

  const CalendarTime& t = parts.time;
  return Succeeded(BoundedFormat(
      dump_path, capacity, common::kDumpPathPattern.wide,
      {parts.crash_folder, development_mark, version, t.year, t.month, t.day, t.hour, t.minute,
       t.second, tag_suffix, language}));
}

void NormalizeGameLanguage(const char16_t* source, char16_t (&language)[kLanguageCapacity]) {
  std::size_t kept = 0;
  if (source != nullptr) {
    for (const char16_t* p = source; *p != u'\0' && kept < kLanguageCapacity - 1; ++p) {
      char16_t unit = *p;
      if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
      const bool letter = unit >= u'A' && unit <= u'Z';
      const bool digit = unit >= u'0' && unit <= u'9';
      if (letter || digit) language[kept++] = unit;
    }
  }
  language[kept] = u'\0';

  // Two codes are filed under the name the game's languages go by; no code at all means
  // the game's default language.
  if (kept == 0 || common::EqualsIgnoringAsciiCase(language, u"EN")) {
    common::BoundedCopy(language, kLanguageCapacity, u"ENEU");
  } else if (common::EqualsIgnoringAsciiCase(language, u"TW")) {
    common::BoundedCopy(language, kLanguageCapacity, u"CN");
  }
}

bool IsForbiddenInFileName(char16_t unit) {
  switch (unit) {
    case u'\\':
    case u'/':
    case u':':
    case u'*':
    case u'?':
    case u'"':
    case u'<':
    case u'>':
    case u'|':
      return true;
    default:
      return unit >= 0x01 && unit <= 0x1F;
  }
}

void SanitizeTag(const char16_t* tag, char16_t* dest, std::size_t capacity) {
  if (dest == nullptr || capacity == 0) return;
  std::size_t used = 0;
  if (tag != nullptr) {
    for (; tag[used] != u'\0' && used < capacity - 1; ++used) {
      dest[used] = IsForbiddenInFileName(tag[used]) ? u'_' : tag[used];
    }
  }
  dest[used] = u'\0';
}

}  // namespace capture
