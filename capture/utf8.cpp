#include "capture/utf8.h"

#include <cstdint>
#include <cstring>

#include "common/utf8_encode.h"

namespace capture {
namespace {

// Bytes of the UTF-8 sequence that starts with `lead`; 0 for a continuation byte.
std::size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xC0) return 0;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

}  // namespace

void TerminateUtf8(char* buffer, std::size_t capacity) {
  if (buffer == nullptr || capacity == 0) return;
  buffer[capacity - 1] = '\0';
  const std::size_t length = std::strlen(buffer);
  // Walk back over at most three continuation bytes to the lead byte of the last
  // sequence; if that sequence is shorter than its lead byte announces, drop it.
  std::size_t start = length;
  while (start > 0 && length - start < 4) {
    --start;
    const std::size_t expected = SequenceLength(static_cast<unsigned char>(buffer[start]));
    if (expected == 0) continue;
    // Zeroed to the end, so that no stray byte of it stays behind the text.
    if (length - start < expected) std::memset(buffer + start, 0, length - start);
    return;
  }
}

void ToUtf8(const char16_t* text, char* buffer, std::size_t capacity) {
  if (buffer == nullptr || capacity == 0) return;
  std::memset(buffer, 0, capacity);
  if (text == nullptr || text[0] == u'\0') return;

  // Whole characters while they fit before the last byte, as the platform's converter
  // fills a buffer that is too small; the rest of the buffer stays zero.
  std::size_t used = 0;
  for (const char16_t* p = text; *p != u'\0'; ++p) {
    // A unit that is not NUL is followed by at least the terminator.
    const std::uint32_t code = common::CodePointAt(*p, p[1]);
    unsigned char bytes[4];
    const std::size_t count = common::EncodeUtf8(code, bytes);
    if (count > capacity - 1 - used) break;
    std::memcpy(buffer + used, bytes, count);
    used += count;
    if (code >= 0x10000) ++p;  // the low surrogate is consumed with its pair
  }
  TerminateUtf8(buffer, capacity);
}

}  // namespace capture
