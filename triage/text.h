// Text helpers of crash-triage that know nothing of dumps, buckets or outputs: hex numbers,
// digits, UTF-16 to UTF-8, ASCII case folding, file names, and the
// version and time texts that the summaries and outputs share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace triage {

// A number as every output and key spells it: "0x", then upper-case hex digits, at least
// `digits` of them ("0x2F1A"; with 8 digits "0xC0000005", with 16 an address).
std::string Hex(std::uint64_t value, int digits = 1);

// True when `text` is `count` ASCII digits.
bool Digits(std::string_view text, std::size_t count);
// The value of ASCII digits (as Digits checks them), at most 9 of them.
unsigned Number(std::string_view digits);

std::string Utf8FromUtf16(std::u16string_view text);
// `text` with A-Z folded to a-z: module names compare as Windows compares file names.
std::string AsciiLower(std::string text);
// The last component of a path as a dump holds it (Windows or POSIX separators).
std::string FileNameOf(std::string_view path);
std::u16string FileNameOf(std::u16string_view path);

// True when `text` ends in ".dmp", its letters in any case.
bool HasDumpExtension(std::string_view text);

// "a.b.c.d" from a fixed file version's two halves.
std::string VersionText(std::uint32_t ms, std::uint32_t ls);
// The numbers of a text of dot-separated numbers of 1 to `max_digits` digits each (at
// most 9), as many as it holds; nothing for any other text.
std::optional<std::vector<unsigned long>> VersionNumbers(std::string_view text, std::size_t max_digits);

// A UTC time (seconds since 1970) as yyyy-mm-ddThh:mm:ss in Central European time
// (UTC+1, UTC+2 from the last Sunday of March to the last Sunday of October, switching
// at 01:00 UTC): the zone the capture names its dumps in, so both kinds of time compare.
std::string CentralEuropeanTime(std::uint32_t utc_seconds);
// The same time in UTC, yyyy-mm-ddThh:mm:ssZ.
std::string UtcTime(std::uint32_t utc_seconds);
// Days since 1970-01-01 of a yyyy-mm-dd date, and back.
std::optional<std::int64_t> DayNumber(std::string_view yyyy_mm_dd);
std::string DayText(std::int64_t day);

}  // namespace triage
