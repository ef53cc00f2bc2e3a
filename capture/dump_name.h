// The dump file name, composed by plain text rules from what the dump path builder
// gathered: development mark, client version, Central European time, tag and game
// language. No platform calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/context_block.h"
#include "capture/ports.h"
#include "common/dump_name_form.h"

namespace capture {

// Units of a game language buffer, terminator included (at most 31 letters and digits).
using common::kLanguageCapacity;

// What a dump path is made of.
struct DumpNameParts {
  const char16_t* crash_folder = nullptr;    // "<client directory>\Crash"
  std::uint32_t version_ms = 0;              // the client's fixed file version
  std::uint32_t version_ls = 0;
  const CrashContextBlock* block = nullptr;  // the checked copy; null when it was not read
  const char16_t* language = nullptr;        // as found (block or settings file); null: none
  CalendarTime time;                         // Central European time
};

// Composes "<crash folder>\Client<mark>_<version>_<date>_<time><tag>_<language>.dmp" into
// `dump_path` (capacity in units); true when it fits whole. The mark is "_Dev" for a block
// whose development flag is set or, without a block, for the version 10.1.0.0; the tag is
// the block's, as "_<tag>" with the units no file name may hold made '_'; the language is
// normalised (NormalizeGameLanguage). No heap.
bool ComposeDumpPath(const DumpNameParts& parts, char16_t* dump_path, std::size_t capacity);

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
