#include "triage/text.h"

#include <fmt/format.h>

#include <algorithm>

#include "common/ascii_match.h"
#include "common/civil_time.h"
#include "common/dump_name_form.h"
#include "common/utf8_encode.h"

namespace triage {
namespace {

std::string CivilText(const common::CivilTime& c, const char* end) {
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}{}", c.year, c.month, c.day, c.hour, c.minute, c.second, end);
}

template <typename Char>
std::basic_string<Char> LastComponent(std::basic_string_view<Char> path) {
  const Char separators[] = {Char('\\'), Char('/'), Char(0)};
  const std::size_t slash = path.find_last_of(separators);
  return std::basic_string<Char>(slash == path.npos ? path : path.substr(slash + 1));
}

}  // namespace

std::string Hex(std::uint64_t value, int digits) { return fmt::format("0x{:0{}X}", value, digits); }

bool Digits(std::string_view text, std::size_t count) {
  if (text.size() != count) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

unsigned Number(std::string_view digits) {
  unsigned n = 0;
  for (char c : digits) n = n * 10 + static_cast<unsigned>(c - '0');
  return n;
}

std::string Utf8FromUtf16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::uint32_t code = common::CodePointAt(text[i], i + 1 < text.size() ? text[i + 1] : u'\0');
    unsigned char bytes[4];
    out.append(reinterpret_cast<const char*>(bytes), common::EncodeUtf8(code, bytes));
    if (code >= 0x10000) ++i;  // the low surrogate went with its pair
  }
  return out;
}

std::string AsciiLower(std::string text) {
  for (char& c : text) c = static_cast<char>(common::FoldAscii(static_cast<unsigned char>(c)));
  return text;
}

std::string FileNameOf(std::string_view path) { return LastComponent(path); }

std::u16string FileNameOf(std::u16string_view path) { return LastComponent(path); }

bool HasDumpExtension(std::string_view text) {
  constexpr std::string_view extension = common::kDumpExtension.view();
  return text.size() >= extension.size() &&
         AsciiLower(std::string(text.substr(text.size() - extension.size()))) == extension;
}

std::string VersionText(std::uint32_t ms, std::uint32_t ls) {
  return fmt::format("{}.{}.{}.{}", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
}

std::optional<std::vector<unsigned long>> VersionNumbers(std::string_view text, std::size_t max_digits) {
  std::vector<unsigned long> numbers;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t dot = std::min(text.find('.', start), text.size());
    const std::string_view part = text.substr(start, dot - start);
    if (part.empty() || part.size() > max_digits || !Digits(part, part.size())) return std::nullopt;
    numbers.push_back(Number(part));
    start = dot + 1;
  }
  return numbers;
}

std::string CentralEuropeanTime(std::uint32_t utc_seconds) {
  return CivilText(common::CentralEuropeanFromUtc(utc_seconds), "");
}

std::string UtcTime(std::uint32_t utc_seconds) { return CivilText(common::CivilFromSeconds(utc_seconds), "Z"); }

std::optional<std::int64_t> DayNumber(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !Digits(text.substr(0, 4), 4) ||
      !Digits(text.substr(5, 2), 2) || !Digits(text.substr(8, 2), 2)) {
    return std::nullopt;
  }
  return common::DaysFromCivil(Number(text.substr(0, 4)), Number(text.substr(5, 2)), Number(text.substr(8, 2)));
}

std::string DayText(std::int64_t day) { return CivilText(common::CivilFromSeconds(day * 86400), "").substr(0, 10); }

}  // namespace triage
