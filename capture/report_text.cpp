#include "capture/report_text.h"

#include <cstring>

namespace capture {
namespace {

constexpr std::size_t kMaxRoom = 2147483647;

// Writes bytes into dest while fewer than limit - 1 have been written; counts them all.
class Writer {
 public:
  Writer(char* dest, std::size_t limit) : dest_(dest), limit_(limit) {}

  void Put(char c) {
    if (count_ + 1 < limit_) dest_[count_] = c;
    ++count_;
  }
  void Put(const char* text) {
    for (const char* p = text; *p != '\0'; ++p) Put(*p);
  }
  void PutHex(std::uint64_t value, int digits) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) Put(kHex[(value >> shift) & 0xF]);
  }
  void PutDecimal(std::uint32_t value) {
    char digits[10];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (n > 0) Put(digits[--n]);
  }
  FormatResult Finish() {
    if (limit_ != 0) dest_[count_ < limit_ - 1 ? count_ : limit_ - 1] = '\0';
    return {true, count_};
  }
  FormatResult Fail() {
    if (limit_ != 0) dest_[0] = '\0';
    return {false, 0};
  }

 private:
  char* dest_;
  std::size_t limit_;
  std::size_t count_ = 0;
};

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

FormatResult FormatReportText(char* dest, std::size_t limit, const char* format,
                              std::initializer_list<ReportArg> args) {
  Writer writer(dest, limit);
  if (format == nullptr) return writer.Fail();
  const ReportArg* next = args.begin();
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      writer.Put(*p);
      continue;
    }
    if (next == args.end()) return writer.Fail();
    const ReportArg& arg = *next++;
    if (StartsWith(p, "%s") && arg.kind() == ReportArg::Kind::kText) {
      if (arg.text() != nullptr) writer.Put(arg.text());
      p += 1;
    } else if (StartsWith(p, "%lu") && arg.kind() == ReportArg::Kind::kNumber) {
      writer.PutDecimal(static_cast<std::uint32_t>(arg.value()));
      p += 2;
    } else if (StartsWith(p, "%08lX") && arg.kind() == ReportArg::Kind::kNumber) {
      writer.PutHex(arg.value(), 8);
      p += 4;
    } else if (StartsWith(p, "%p") && arg.kind() == ReportArg::Kind::kAddress) {
      writer.PutHex(arg.value(), 16);
      p += 1;
    } else {
      return writer.Fail();
    }
  }
  return writer.Finish();
}

void BoundedAppend(char* buffer, std::size_t capacity, const char* format,
                   std::initializer_list<ReportArg> args) {
  if (buffer == nullptr || capacity == 0) return;
  const void* nul = std::memchr(buffer, '\0', capacity);
  if (nul == nullptr) return;  // no terminator: counts as full
  const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(nul) - buffer);
  if (length >= capacity - 1) return;
  const std::size_t room = capacity - length;
  if (room > kMaxRoom) {
    buffer[length] = '\0';
    return;
  }
  const FormatResult result = FormatReportText(buffer + length, room, format, args);
  if (!result.ok) {
    // A piece that cannot be formatted is left out whole rather than half-written.
    buffer[length] = '\0';
    return;
  }
  // The formatter has terminated the piece or its cut; the last byte holds the NUL
  // whenever the piece reached it.
  if (result.length >= room - 1) buffer[capacity - 1] = '\0';
}

}  // namespace capture
