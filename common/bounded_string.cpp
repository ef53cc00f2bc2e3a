#include "common/bounded_string.h"

namespace common {
namespace {

bool CapacityValid(std::size_t capacity) { return capacity != 0 && capacity <= kMaxCapacity; }

// Writes units into dest, keeping room for the terminator; remembers whether anything
// had to be left out so the caller can report the truncation.
class Writer {
 public:
  Writer(char16_t* dest, std::size_t capacity) : dest_(dest), limit_(capacity - 1) {}

  void Put(char16_t unit) {
    if (used_ < limit_) {
      dest_[used_++] = unit;
    } else {
      truncated_ = true;
    }
  }
  void Put(const char16_t* text) {
    for (; *text != u'\0'; ++text) Put(*text);
  }
  HResult Finish() {
    dest_[used_] = u'\0';
    return truncated_ ? kInsufficientBuffer : kOk;
  }
  HResult Fail() {
    dest_[0] = u'\0';
    return kInvalidParameter;
  }

 private:
  char16_t* dest_;
  std::size_t limit_;
  std::size_t used_ = 0;
  bool truncated_ = false;
};

}  // namespace

std::size_t Length(const char16_t* text) {
  std::size_t length = 0;
  if (text != nullptr) {
    while (text[length] != u'\0') ++length;
  }
  return length;
}

HResult BoundedCopy(char16_t* dest, std::size_t capacity, const char16_t* source) {
  if (dest == nullptr || !CapacityValid(capacity)) {
    if (dest != nullptr && capacity != 0) dest[0] = u'\0';
    return kInvalidParameter;
  }
  Writer writer(dest, capacity);
  if (source != nullptr) writer.Put(source);
  return writer.Finish();
}

HResult BoundedFormat(char16_t* dest, std::size_t capacity, const char16_t* format,
                      std::initializer_list<FormatArg> args) {
  if (dest == nullptr || !CapacityValid(capacity)) {
    if (dest != nullptr && capacity != 0) dest[0] = u'\0';
    return kInvalidParameter;
  }
  Writer writer(dest, capacity);
  if (format == nullptr) return writer.Fail();

  const FormatArg* next = args.begin();
  for (const char16_t* p = format; *p != u'\0'; ++p) {
    if (*p != u'%') {
      writer.Put(*p);
      continue;
    }
    ++p;
    if (*p == u'%') {
      writer.Put(u'%');
      continue;
    }
    const bool zero_pad = (*p == u'0');
    if (zero_pad) ++p;
    std::size_t width = 0;
    while (*p >= u'0' && *p <= u'9') {
      width = width * 10 + static_cast<std::size_t>(*p - u'0');
      if (width > 1024) return writer.Fail();
      ++p;
    }
    if (*p == u'l') ++p;
    if ((*p != u's' && *p != u'u') || next == args.end()) return writer.Fail();

    const FormatArg& arg = *next++;
    if (*p == u's') {
      if (arg.kind() != FormatArg::Kind::kText) return writer.Fail();
      const char16_t* text = arg.text() != nullptr ? arg.text() : u"(null)";
      for (std::size_t n = Length(text); n < width; ++n) writer.Put(zero_pad ? u'0' : u' ');
      writer.Put(text);
    } else {
      if (arg.kind() != FormatArg::Kind::kUnsigned) return writer.Fail();
      char16_t digits[10];
      std::size_t count = 0;
      std::uint32_t value = arg.number();
      do {
        digits[count++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
      } while (value != 0);
      for (std::size_t n = count; n < width; ++n) writer.Put(zero_pad ? u'0' : u' ');
      while (count > 0) writer.Put(digits[--count]);
    }
  }
  return writer.Finish();
}

}  // namespace common
