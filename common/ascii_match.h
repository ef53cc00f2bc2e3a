// Substring search and comparison over UTF-16: exact, or folding only the ASCII letters A
// to Z, whatever the locale, so that module names match the same way on every player's
// machine.
#pragma once

namespace common {

// Where `pattern` first occurs in `text`, comparing units exactly; null when it does not
// occur or either is null. Reads `text` no further than its terminator.
const char16_t* FindExact(const char16_t* text, const char16_t* pattern);

// True when `pattern` occurs anywhere in `text`, comparing the pattern's full length.
// A null text or pattern gives false; an empty pattern matches every non-empty text.
bool ContainsIgnoringAsciiCase(const char16_t* text, const char16_t* pattern);

// True when both texts are equal ignoring the case of A to Z; null equals nothing.
bool EqualsIgnoringAsciiCase(const char16_t* a, const char16_t* b);

constexpr char16_t FoldAscii(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
}

}  // namespace common
