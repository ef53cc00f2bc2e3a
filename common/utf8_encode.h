// One character of UTF-16 into UTF-8: the step that the capture's report converter and the
// support tool's reading of dump strings share, so both turn the same units into the same
// bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace common {

constexpr bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The character that starts with `unit`, `next` being the unit after it (0 at the end of
// the text): a surrogate pair gives its character, which then takes both units (the result
// is 0x10000 or more); a lone surrogate gives U+FFFD, as the platform's conversion does.
constexpr std::uint32_t CodePointAt(char16_t unit, char16_t next) {
  if (IsHighSurrogate(unit) && IsLowSurrogate(next)) {
    return 0x10000 + ((static_cast<std::uint32_t>(unit) - 0xD800) << 10) +
           (static_cast<std::uint32_t>(next) - 0xDC00);
  }
  if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) return 0xFFFD;
  return unit;
}

// The UTF-8 form of `code` (at most U+10FFFF) into `bytes`: its length, 1 to 4.
constexpr std::size_t EncodeUtf8(std::uint32_t code, unsigned char (&bytes)[4]) {
  if (code < 0x80) {
    bytes[0] = static_cast<unsigned char>(code);
    return 1;
  }
  if (code < 0x800) {
    bytes[0] = static_cast<unsigned char>(0xC0 | (code >> 6));
    bytes[1] = static_cast<unsigned char>(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0x10000) {
    bytes[0] = static_cast<unsigned char>(0xE0 | (code >> 12));
    bytes[1] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
    bytes[2] = static_cast<unsigned char>(0x80 | (code & 0x3F));
    return 3;
  }
  bytes[0] = static_cast<unsigned char>(0xF0 | (code >> 18));
  bytes[1] = static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F));
  bytes[2] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
  bytes[3] = static_cast<unsigned char>(0x80 | (code & 0x3F));
  return 4;
}

}  // namespace common
