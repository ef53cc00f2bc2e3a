// The parts of a dump file name that are plain text rules: the game language code and
// the tag as it may stand in a file name. No platform calls.
#pragma once

#include <cstddef>

namespace capture {

// Units of a game language buffer, terminator included (at most 31 letters and digits).
inline constexpr std::size_t kLanguageCapacity = 32;

// Turns any language text (from the block or from the settings file) into the code of
// the dump name: ASCII letters upper-cased, everything but A-Z and 0-9 dropped, at most
// 31 units kept; then "EN" becomes "ENEU", "TW" becomes "CN" and an empty result "ENEU".
// Never empty; normalising a result again changes nothing. A null source counts as empty.
void NormalizeGameLanguage(const char16_t* source, char16_t (&language)[kLanguageCapacity]);

// True for a unit that Windows refuses in a file name: \ / : * ? " < > | and the
// control units 0x01 to 0x1F.
bool IsForbiddenInFileName(char16_t unit);

// Copies `tag` into `dest` (capacity in units, terminator included), replacing every unit
// that Windows refuses in a file name with '_' and keeping all others, non-ASCII
// included. The tag is client text: unfiltered, a '\' would move the dump into another
// folder and a ':' would name an alternate data stream. Truncates silently at the
// capacity; does nothing when `dest` is null or `capacity` is 0.
void SanitizeTag(const char16_t* tag, char16_t* dest, std::size_t capacity);

}  // namespace capture
