#include "common/ascii_match.h"

namespace common {

bool ContainsIgnoringAsciiCase(const char16_t* text, const char16_t* pattern) {
  if (text == nullptr || pattern == nullptr) return false;
  for (; *text != u'\0'; ++text) {
    const char16_t* t = text;
    const char16_t* p = pattern;
    // The text's terminator never equals a pattern unit, so a match cannot run past it.
    while (*p != u'\0' && *t != u'\0' && FoldAscii(*t) == FoldAscii(*p)) {
      ++t;
      ++p;
    }
    if (*p == u'\0') return true;
  }
  return false;
}

bool EqualsIgnoringAsciiCase(const char16_t* a, const char16_t* b) {
  if (a == nullptr || b == nullptr) return false;
  while (*a != u'\0' && FoldAscii(*a) == FoldAscii(*b)) {
    ++a;
    ++b;
  }
  return *a == u'\0' && *b == u'\0';
}

}  // namespace common
