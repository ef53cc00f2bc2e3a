// The 8-bit text work under the crash report: a small formatter and the bounded append
// that grows the report, cutting at the buffer's end. No heap and no C runtime printf,
// whose rendering of pointers differs between runtimes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <type_traits>

namespace capture {

// A 64-bit address for "%p".
struct Address {
  std::uint64_t value;
};

// One argument of FormatReportText: "%s" takes a text, "%lu" and "%08lX" a 32-bit
// unsigned number, "%p" an Address. Typed, so a mismatch fails instead of reading garbage.
class ReportArg {
 public:
  enum class Kind { kText, kNumber, kAddress };

  ReportArg(const char* text) : kind_(Kind::kText), text_(text) {}  // NOLINT: implicit by design
  template <typename T, typename = std::enable_if_t<std::is_unsigned_v<T> && sizeof(T) <= 4>>
  ReportArg(T value) : kind_(Kind::kNumber), value_(value) {}  // NOLINT: implicit by design
  ReportArg(Address address) : kind_(Kind::kAddress), value_(address.value) {}  // NOLINT

  Kind kind() const { return kind_; }
  const char* text() const { return text_; }
  std::uint64_t value() const { return value_; }

 private:
  Kind kind_;
  const char* text_ = nullptr;
  std::uint64_t value_ = 0;
};

// The outcome of a format: the full length of the formatted piece, whether or not it
// all fitted, or failure (an unknown conversion, a missing or mistyped argument).
struct FormatResult {
  bool ok;
  std::size_t length;
};

// Formats into `dest`, writing at most `limit` - 1 bytes of the piece and then a NUL
// (nothing at all when `limit` is 0). Conversions: "%s" (bytes up to the NUL, a null text
// counting as empty), "%lu" (decimal), "%08lX" (8 uppercase hex digits), "%p" (exactly 16
// uppercase hex digits, no prefix). On failure `dest` holds the empty text.
FormatResult FormatReportText(char* dest, std::size_t limit, const char* format,
                              std::initializer_list<ReportArg> args);

// Appends the formatted piece to the NUL-terminated text in `buffer`. A full buffer (no
// room before its last byte, or no NUL at all) takes nothing; a piece that does not fit
// whole is cut to the bytes that fit, so later appends are dropped; a failed format
// appends nothing. The text always ends with a NUL within `capacity`. Nothing happens for
// a null buffer or a capacity of 0.
void BoundedAppend(char* buffer, std::size_t capacity, const char* format,
                   std::initializer_list<ReportArg> args = {});

}  // namespace capture
