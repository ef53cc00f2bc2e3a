// Bounded copy and format over arbitrary text, capacities and formats: never a write
// beyond the capacity, always a terminated result, and the result code tells the truth.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/bounded_string.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::size_t capacity = data[0] % 64;
  const bool use_format = (data[1] & 1) != 0;
  const std::uint32_t number = static_cast<std::uint32_t>(data[2]) * 16777619u;
  data += 3;
  size -= 3;

  // The input as a terminated UTF-16 text; split at the first 0xFFFF unit into a format
  // and a text argument.
  std::vector<char16_t> units(size / 2 + 1, u'\0');
  std::memcpy(units.data(), data, (size / 2) * 2);
  char16_t* second = units.data() + units.size() - 1;
  for (char16_t& u : units) {
    if (u == 0xFFFF) {
      u = u'\0';
      second = &u + 1;
      break;
    }
  }

  // One guard unit on each side of the destination catches any write outside it.
  std::vector<char16_t> buffer(capacity + 2, u'#');
  char16_t* dest = buffer.data() + 1;
  const common::HResult result =
      use_format ? common::BoundedFormat(dest, capacity, units.data(), {second, number, second})
                 : common::BoundedCopy(dest, capacity, units.data());
  if (buffer.front() != u'#' || buffer.back() != u'#') __builtin_trap();
  if (capacity == 0) {
    if (result != common::kInvalidParameter || dest[0] != u'#') __builtin_trap();
    return 0;
  }
  const std::size_t length = common::Length(dest);
  if (length >= capacity) __builtin_trap();
  if (!use_format && result == common::kOk && std::memcmp(dest, units.data(), (length + 1) * 2) != 0)
    __builtin_trap();
  if (!use_format && result == common::kInsufficientBuffer && length != capacity - 1) __builtin_trap();
  return 0;
}
