// Substring search and comparison over UTF-16: exact, or folding only the ASCII letters A
// to Z, whatever the locale, so that module names match the same way on every player's
// machine.
#pragma once

namespace common {

constexpr char16_t FoldAscii(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
}

// The first position of `text` from which every unit of `pattern` is `Same` as the text's;
// null when there is none or either is null. Reads `text` no further than its terminator.
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

// Where `pattern` first occurs in `text`, comparing units exactly.
inline const char16_t* FindExact(const char16_t* text, const char16_t* pattern) {
  return Find(text, pattern, [](char16_t a, char16_t b) { return a == b; });
}

// True when `pattern` occurs anywhere in `text`, comparing the pattern's full length.
// A null text or pattern gives false; an empty pattern matches every non-empty text.
bool ContainsIgnoringAsciiCase(const char16_t* text, const char16_t* pattern);

// True when both texts are equal ignoring the case of A to Z; null equals nothing.
bool EqualsIgnoringAsciiCase(const char16_t* a, const char16_t* b);

}  // namespace common
