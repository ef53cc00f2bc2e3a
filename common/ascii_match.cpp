#include "common/ascii_match.h"

namespace common {
namespace {

// The first position of `text` at which every unit of `pattern` is `Same` as the text's.
template <typename Same>
const char16_t* Find(const char16_t* text, const char16_t* pattern, Same same) {
  if (text == nullptr || pattern == nullptr) return nullptr;
  for (; *text != u'\0'; ++text) {
    const char16_t* t = text;
    const char16_t* p = pattern;
    // The text's terminator never equals a pattern unit, so a match cannot run past it.
    while (*p != u'\0' && *t != u'\0' && same(*t, *p)) {
      ++t;
      ++p;
    }
    if (*p == u'\0') return text;
    if (*t == u'\0') return nullptr;  // the rest of the text is shorter than the pattern
  }
  return nullptr;
}

}  // namespace

const char16_t* FindExact(const char16_t* text, const char16_t* pattern) {
  return Find(text, pattern, [](char16_t a, char16_t b) { return a == b; });
}

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
