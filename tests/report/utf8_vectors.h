// Inputs shared by the converter tests of every build and by the comparison with the
// platform's converter under Wine: each with the capacity it is converted into and the
// bytes the buffer must then hold before its zero padding.
#pragma once

#include <cstddef>
#include <string>

namespace report_test {

struct Utf8Vector {
  const char* what;
  std::u16string text;
  std::size_t capacity;
  std::string expected;
};

inline const Utf8Vector kUtf8Vectors[] = {
    {"ascii", u"Client.exe", 260, "Client.exe"},
    {"two-byte", u"M\u00FCller.dll", 260, "M\xC3\xBCller.dll"},
    {"three-byte", u"\u20AC\u4E2D", 260, "\xE2\x82\xAC\xE4\xB8\xAD"},
    {"the first three-byte", u"\u07FF\u0800", 260, "\xDF\xBF\xE0\xA0\x80"},
    {"surrogate pair", u"a\U0001F600b", 260, "a\xF0\x9F\x98\x80" "b"},
    {"lone high surrogate", std::u16string(u"a") + char16_t(0xD83D) + u"b", 260,
     "a\xEF\xBF\xBD" "b"},
    {"lone low surrogate", std::u16string(u"a") + char16_t(0xDE00) + u"b", 260,
     "a\xEF\xBF\xBD" "b"},
    {"high surrogate at the end", std::u16string(u"a") + char16_t(0xD83D), 260, "a\xEF\xBF\xBD"},
    {"pair in the wrong order", std::u16string() + char16_t(0xDE00) + char16_t(0xD83D), 260,
     "\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"ascii exact fit", u"abc", 4, "abc"},
    {"two-byte exact fit", u"a\u00E9", 4, "a\xC3\xA9"},
    {"pair exact fit", u"a\U0001F600", 6, "a\xF0\x9F\x98\x80"},
    {"ascii one byte over", u"abcd", 4, "abc"},
    {"two-byte filling the last byte", u"ab\u00E9", 4, "ab"},
    {"three-byte filling the last byte", u"\u20AC\u20AC", 6, "\xE2\x82\xAC"},
    {"three-byte not fitting", u"a\u00E9\u20AC", 5, "a\xC3\xA9"},
    {"pair filling the last byte", u"a\U0001F600", 5, "a"},
    {"pair not fitting", u"ab\U0001F600", 5, "ab"},
    {"capacity one", u"abc", 1, ""},
    {"empty text", u"", 16, ""},
    {"long non-ascii name", std::u16string(255, u'\u20AC'), 260, [] {
       std::string s;
       for (int i = 0; i < 86; ++i) s += "\xE2\x82\xAC";  // 258 bytes: 86 whole characters
       return s;
     }()},
};

}  // namespace report_test
