// Bounded UTF-16 strings: copy and format into fixed-capacity buffers with the
// semantics of StringCchCopyW / StringCchPrintfW, portable (no Windows header).
//
// Capacities count UTF-16 units including the terminator. A capacity of 0 or above
// kMaxCapacity is invalid: the call fails with kInvalidParameter and, when the capacity
// is not 0, leaves an empty string. A result that does not fit whole together with its
// terminator fails with kInsufficientBuffer and leaves the truncated text, terminated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <type_traits>

namespace common {

using HResult = std::int32_t;
inline constexpr HResult kOk = 0;
inline constexpr HResult kInvalidParameter = static_cast<HResult>(0x80070057u);
inline constexpr HResult kInsufficientBuffer = static_cast<HResult>(0x8007007Au);
inline constexpr std::size_t kMaxCapacity = 2147483647;

constexpr bool Succeeded(HResult result) { return result >= 0; }

// Length in units up to the terminator; a null text has length 0.
std::size_t Length(const char16_t* text);

// Copies `source` (null counts as empty) into `dest`.
HResult BoundedCopy(char16_t* dest, std::size_t capacity, const char16_t* source);

// One argument of BoundedFormat: "%s" takes a text, "%u"/"%lu" an unsigned number.
// Typed, so a mismatched argument fails the format instead of reading garbage.
class FormatArg {
 public:
  enum class Kind { kText, kUnsigned };

  FormatArg(const char16_t* text) : kind_(Kind::kText), text_(text) {}  // NOLINT: implicit by design
  template <typename T, typename = std::enable_if_t<std::is_unsigned_v<T> && sizeof(T) <= 4>>
  FormatArg(T value) : kind_(Kind::kUnsigned), number_(value) {}  // NOLINT: implicit by design

  Kind kind() const { return kind_; }
  const char16_t* text() const { return text_; }
  std::uint32_t number() const { return number_; }

 private:
  Kind kind_;
  const char16_t* text_ = nullptr;
  std::uint32_t number_ = 0;
};

// Formats `format` into `dest`. Conversions: "%s", "%u", "%lu", each with an optional
// '0' flag and decimal width ("%04u", "%02u"), and "%%". A conversion the format does not
// know, or an argument of the wrong kind or missing, fails with kInvalidParameter and an
// empty result. A null text argument prints "(null)", as the platform's formatter does.
HResult BoundedFormat(char16_t* dest, std::size_t capacity, const char16_t* format,
                      std::initializer_list<FormatArg> args);

}  // namespace common
