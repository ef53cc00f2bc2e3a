// The UTF-8 converter that the module ships against the platform's WideCharToMultiByte
// under the same buffer rules: both must leave the very same bytes in the buffer.
#include <windows.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "capture/utf8.h"
#include "report/utf8_vectors.h"

namespace capture {
namespace {

// The platform's conversion under the buffer rules of utf8.h.
void PlatformToUtf8(const char16_t* text, char* buffer, std::size_t capacity) {
  if (buffer == nullptr || capacity == 0) return;
  // Zeroed whole: when the text does not fit, WideCharToMultiByte fails, having stored
  // the whole characters that fit and no terminator, so the zeros end that part.
  std::memset(buffer, 0, capacity);
  if (text == nullptr || text[0] == u'\0') return;
  const int limit = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
  WideCharToMultiByte(CP_UTF8,                                 // CodePage
                      0,                                       // dwFlags
                      reinterpret_cast<const wchar_t*>(text),  // lpWideCharStr
                      -1,                                      // cchWideChar: up to the NUL
                      buffer,                                  // lpMultiByteStr
                      limit,                                   // cbMultiByte
                      nullptr,                                 // lpDefaultChar
                      nullptr);                                // lpUsedDefaultChar
  TerminateUtf8(buffer, capacity);
}

std::string Convert(void (*convert)(const char16_t*, char*, std::size_t), const std::u16string& text,
                    std::size_t capacity) {
  std::vector<char> buffer(capacity, 'x');
  convert(text.c_str(), buffer.data(), buffer.size());
  return std::string(buffer.begin(), buffer.end());
}

TEST(Utf8Oracle, SharedVectors) {
  for (const auto& v : report_test::kUtf8Vectors) {
    EXPECT_EQ(Convert(PlatformToUtf8, v.text, v.capacity), Convert(ToUtf8, v.text, v.capacity))
        << v.what;
  }
}

// Every text of up to four units over an alphabet that mixes one-, two-, three- and
// four-byte characters with lone surrogates, at every capacity up to past the longest.
TEST(Utf8Oracle, AllShortTextsAtAllCapacities) {
  const char16_t alphabet[] = {u'a', 0x00FC, 0x20AC, 0xD83D, 0xDE00, 0x007F, 0x0800};
  const std::size_t letters = sizeof(alphabet) / sizeof(alphabet[0]);
  int compared = 0;
  for (std::size_t length = 1; length <= 4; ++length) {
    std::size_t combinations = 1;
    for (std::size_t i = 0; i < length; ++i) combinations *= letters;
    for (std::size_t n = 0; n < combinations; ++n) {
      std::u16string text;
      for (std::size_t i = 0, rest = n; i < length; ++i, rest /= letters) {
        text += alphabet[rest % letters];
      }
      for (std::size_t capacity = 1; capacity <= 14; ++capacity) {
        ASSERT_EQ(Convert(PlatformToUtf8, text, capacity), Convert(ToUtf8, text, capacity))
            << "text of " << length << " units, combination " << n << ", capacity " << capacity;
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 30000);
}

// What the platform itself does with a buffer that is too small, which the converter's
// ending builds on: it fails, having stored the whole characters that fit, and no NUL.
TEST(Utf8Oracle, PlatformKeepsTheWholeCharactersThatFit) {
  char buffer[5] = {'x', 'x', 'x', 'x', 'x'};
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"a\u00E9\u20AC", -1, buffer, 5, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::string(buffer, 5), "a\xC3\xA9xx");

  char full[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"ab\u00E9", -1, full, 4, nullptr, nullptr), 0);
  EXPECT_EQ(std::string(full, 4), "ab\xC3\xA9");  // the whole buffer, no terminator
}

}  // namespace
}  // namespace capture
