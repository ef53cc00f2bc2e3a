#include "common/ascii_match.h"

#include <gtest/gtest.h>

namespace common {
namespace {

TEST(ContainsIgnoringAsciiCase, FindsPatternAnywhereFoldingOnlyAsciiLetters) {
  EXPECT_TRUE(ContainsIgnoringAsciiCase(u"NVWGF2UMX.DLL", u"nvwgf2umx"));
  EXPECT_TRUE(ContainsIgnoringAsciiCase(u"ZLIB.DLL", u"zlib"));  // the last letter folds too
  EXPECT_TRUE(ContainsIgnoringAsciiCase(u"my_xsplit", u"xsplit"));   // at the very end
  EXPECT_FALSE(ContainsIgnoringAsciiCase(u"game_xspl", u"xsplit"));  // runs past the end
  EXPECT_FALSE(ContainsIgnoringAsciiCase(u"d3d", u"d3d9"));
  // Overlapping prefixes: a failed partial match must not skip the real start.
  EXPECT_TRUE(ContainsIgnoringAsciiCase(u"nnvd3dumx", u"nvd3dumx"));
  // Only A-Z fold: U+0130 (capital I with dot above) is not an i, nor is U+212A a k.
  EXPECT_FALSE(ContainsIgnoringAsciiCase(u"XSPL\u0130T", u"xsplit"));
  EXPECT_FALSE(ContainsIgnoringAsciiCase(u"\u212A", u"k"));
  // '[' (0x5B) and '{' (0x7B) sit next to the letters and must stay distinct.
  EXPECT_FALSE(ContainsIgnoringAsciiCase(u"[", u"{"));
  EXPECT_FALSE(ContainsIgnoringAsciiCase(u"@", u"`"));
}

TEST(ContainsIgnoringAsciiCase, AbsentAndEmptyInputs) {
  EXPECT_FALSE(ContainsIgnoringAsciiCase(nullptr, u"a"));
  EXPECT_FALSE(ContainsIgnoringAsciiCase(u"a", nullptr));
  EXPECT_TRUE(ContainsIgnoringAsciiCase(u"a", u""));
  EXPECT_FALSE(ContainsIgnoringAsciiCase(u"", u""));
  EXPECT_FALSE(ContainsIgnoringAsciiCase(u"", u"a"));
}

TEST(EqualsIgnoringAsciiCase, WholeTextsOnly) {
  EXPECT_TRUE(EqualsIgnoringAsciiCase(u"CLIENT.EXE", u"Client.exe"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(u"Client.exe.bak", u"Client.exe"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(u"Client.ex", u"Client.exe"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(u"Client.exe ", u"Client.exe"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(nullptr, u""));
  EXPECT_TRUE(EqualsIgnoringAsciiCase(u"", u""));
}

}  // namespace
}  // namespace common
