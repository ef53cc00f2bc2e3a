// The 8-bit text work under the crash report.
//
// Bounded append: a sequence of appends of pieces from the input, of every format the
// report uses and of failing ones, into a small buffer of any capacity, compared after
// each step with a model of the rule (take the length before the first NUL; a full
// buffer, one without NUL or a failed format takes nothing; otherwise the piece is cut
// to the room left before the last byte). The formatted pieces of the model come from
// snprintf, not from our formatter.
//
// UTF-8 conversion: the portable converter over any UTF-16 units, lone surrogates
// included, at small capacities: valid UTF-8, terminated, the longest run of whole
// leading characters of the full conversion that fits, zeros behind it. And the ending
// both converters share, over a conversion cut at any byte.
#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "capture/report_text.h"
#include "capture/utf8.h"
#include "fuzz_support.h"

namespace {

constexpr std::size_t kGuardBytes = 16;
constexpr std::size_t kMaxCapacity = 96;
constexpr char kGuard = static_cast<char>(0xA5);

// A buffer of up to kMaxCapacity bytes between guard bytes; bytes past the capacity are
// guards too, so any write outside [0, capacity) shows.
struct GuardedBytes {
  std::array<char, kGuardBytes + kMaxCapacity + kGuardBytes> bytes;
  explicit GuardedBytes(std::size_t capacity) : capacity(capacity) { bytes.fill(kGuard); }
  char* data() { return bytes.data() + kGuardBytes; }
  bool GuardsIntact() const {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if ((i < kGuardBytes || i >= kGuardBytes + capacity) && bytes[i] != kGuard) return false;
    }
    return true;
  }
  std::size_t capacity;
};

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

std::string WithoutPercent(std::string text) {
  for (char& c : text) {
    if (c == '%') c = '+';
  }
  return fuzz::UpToNul(text);
}

void FuzzAppend(fuzz::Input& in) {
  const std::size_t capacity = in.Byte() % (kMaxCapacity + 1);
  const std::uint8_t start = in.Byte();
  GuardedBytes buffer(capacity);
  char* dest = buffer.data();

  // The starting content: a text with stray bytes behind its NUL, or no NUL at all.
  const bool no_nul = (start & 1) != 0 && capacity > 0;
  std::string model;
  const std::string initial = fuzz::UpToNul(in.Text8());
  if (no_nul) {
    for (std::size_t i = 0; i < capacity; ++i) dest[i] = static_cast<char>('a' + i % 26);
  } else if (capacity > 0) {
    model = initial.substr(0, capacity - 1);
    for (std::size_t i = 0; i < capacity; ++i) dest[i] = 'z';
    std::memcpy(dest, model.data(), model.size());
    dest[model.size()] = '\0';
  }
  const std::string untouched(dest, capacity);

  while (in.Remaining() > 0) {
    const std::uint8_t op = in.Byte();
    const std::string text = fuzz::UpToNul(in.Text8());
    const std::uint32_t number = in.U32();
    std::string piece;
    bool ok = true;
    switch (op % 10) {
      case 0:
        piece = WithoutPercent(text);
        capture::BoundedAppend(dest, capacity, piece.c_str());
        break;
      case 1:
        piece = text;
        capture::BoundedAppend(dest, capacity, "%s", {text.c_str()});
        break;
      case 2:
        piece = Printf("runtime.module.%u=%s\r\n", number, text.c_str());
        capture::BoundedAppend(dest, capacity, "runtime.module.%lu=%s\r\n", {number, text.c_str()});
        break;
      case 3:
        piece = Printf("primary.code=0x%08X\r\n", number);
        capture::BoundedAppend(dest, capacity, "primary.code=0x%08lX\r\n", {number});
        break;
      case 4: {
        const std::uint64_t address = (static_cast<std::uint64_t>(number) << 32) | in.U32();
        piece = Printf("primary.address=0x%016llX\r\n", static_cast<unsigned long long>(address));
        capture::BoundedAppend(dest, capacity, "primary.address=0x%p\r\n", {capture::Address{address}});
        break;
      }
      case 5:  // a number where a text belongs
        ok = false;
        capture::BoundedAppend(dest, capacity, "%s", {number});
        break;
      case 6:  // a missing argument, after some text that was already formatted
        ok = false;
        capture::BoundedAppend(dest, capacity, (WithoutPercent(text) + "%lu").c_str());
        break;
      case 7:  // a conversion the formatter does not know
        ok = false;
        capture::BoundedAppend(dest, capacity, (WithoutPercent(text) + "%x").c_str(), {number});
        break;
      case 8:  // a null text counts as empty
        piece = WithoutPercent(text);
        capture::BoundedAppend(dest, capacity, (piece + "%s").c_str(), {static_cast<const char*>(nullptr)});
        break;
      default:  // no buffer at all: nothing happens
        capture::BoundedAppend(nullptr, capacity, "%s", {text.c_str()});
        ok = false;
        break;
    }

    fuzz::Check(buffer.GuardsIntact());
    if (capacity == 0) continue;  // the guards cover the whole buffer
    if (no_nul) {
      fuzz::Check(std::memcmp(dest, untouched.data(), capacity) == 0);
      continue;
    }
    if (ok && model.size() < capacity - 1) {
      model += piece.substr(0, capacity - 1 - model.size());
    }
    const void* nul = std::memchr(dest, '\0', capacity);
    fuzz::Check(nul != nullptr);
    const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(nul) - dest);
    fuzz::Check(length <= capacity - 1);
    fuzz::Check(std::string(dest, length) == model);
  }
}

void FuzzUtf8(fuzz::Input& in) {
  const std::uint8_t choice = in.Byte();
  const std::size_t capacity = (choice & 0x80) ? kMaxCapacity : choice % 24;
  std::u16string text;
  while (in.Remaining() >= 2) text.push_back(static_cast<char16_t>(in.U16()));
  text = fuzz::UpToNul(text);

  GuardedBytes buffer(capacity);
  for (std::size_t i = 0; i < capacity; ++i) buffer.data()[i] = 'q';
  capture::ToUtf8(text.c_str(), buffer.data(), capacity);
  fuzz::Check(buffer.GuardsIntact());
  if (capacity == 0) return;

  const char* out = buffer.data();
  const void* nul = std::memchr(out, '\0', capacity);
  fuzz::Check(nul != nullptr);
  const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(nul) - out);
  for (std::size_t i = length; i < capacity; ++i) fuzz::Check(out[i] == '\0');
  const std::string converted(out, length);
  fuzz::Check(fuzz::IsValidUtf8(converted));
  fuzz::Check(converted == fuzz::Utf8Prefix(text, capacity - 1));

  // The shared ending over the conversion as a converter that stops wherever the buffer
  // ends leaves it: no terminator, perhaps half a character at the end.
  const std::string full = fuzz::Utf8Prefix(text, static_cast<std::size_t>(-1));
  fuzz::Check(fuzz::IsValidUtf8(full));
  GuardedBytes cut(capacity);
  std::memcpy(cut.data(), full.c_str(), std::min(full.size() + 1, capacity));
  capture::TerminateUtf8(cut.data(), capacity);
  fuzz::Check(cut.GuardsIntact());
  fuzz::Check(std::memchr(cut.data(), '\0', capacity) != nullptr);
  fuzz::Check(std::string(cut.data()) == fuzz::Utf8Prefix(text, capacity - 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  if (in.Bit()) {
    FuzzUtf8(in);
  } else {
    FuzzAppend(in);
  }
  return 0;
}
