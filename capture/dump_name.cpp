#include "capture/dump_name.h"

#include "common/ascii_match.h"
#include "common/bounded_string.h"

namespace capture {

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
