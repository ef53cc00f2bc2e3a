#include "common/ascii_match.h"

namespace common {

bool ContainsIgnoringAsciiCase(const char16_t* text, const char16_t* pattern) {
  return Find(text, pattern, [](char16_t a, char16_t b) { return FoldAscii(a) == FoldAscii(b); }) !=
         nullptr;
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
