#include "capture/dump_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string Normalized(const char16_t* source) {
  char16_t language[capture::kLanguageCapacity];
  std::fill(std::begin(language), std::end(language), u'#');
  capture::NormalizeGameLanguage(source, language);
  return language;
}

TEST(GameLanguage, NormalisesAndMaps) {
  struct Case {
    const char16_t* source;
    const char16_t* expected;
  } cases[] = {
      {u"en", u"ENEU"},   {u"En", u"ENEU"},     {u"e-n", u"ENEU"},  {u"tw", u"CN"},
      {u" t_W ", u"CN"},  {u"zh-TW", u"ZHTW"},  {u"de", u"DE"},     {u"ENEU", u"ENEU"},
      {u"en-gb", u"ENGB"}, {u"---", u"ENEU"},   {u"", u"ENEU"},     {nullptr, u"ENEU"},
      {u"\u00e9\u00e8\u4e2d", u"ENEU"},        // non-ASCII letters only
      {u"\uff24\uff25de", u"DE"},             // full-width letters are not ASCII
      {u"pt-BR2", u"PTBR2"},
  };
  for (const auto& c : cases) {
    const std::u16string result = Normalized(c.source);
    EXPECT_EQ(result, c.expected) << "case " << (&c - cases);
    EXPECT_EQ(Normalized(result.c_str()), result);  // a result is its own normal form
  }
}

TEST(GameLanguage, KeepsAtMost31Units) {
  const std::u16string long_source = u"a-" + std::u16string(40, u'b');
  EXPECT_EQ(Normalized(long_source.c_str()), u"A" + std::u16string(30, u'B'));
}

TEST(FileNameUnits, RefusesExactlyWhatWindowsRefuses) {
  for (char16_t unit : std::u16string(u"\\/:*?\"<>|")) EXPECT_TRUE(capture::IsForbiddenInFileName(unit)) << int(unit);
  for (char16_t unit = 0x01; unit <= 0x1F; ++unit) EXPECT_TRUE(capture::IsForbiddenInFileName(unit)) << int(unit);
  for (char16_t unit : std::u16string(u" .-_'!#$%&()+,;=@[]^`{}~\x7f\u00e9\u4e2d\xd83d\xde00")) {
    EXPECT_FALSE(capture::IsForbiddenInFileName(unit)) << int(unit);
  }
}

TEST(FileNameUnits, SanitizeTagReplacesForbiddenUnitsAndStopsAtCapacity) {
  char16_t out[64];
  capture::SanitizeTag(u"..\\up/a:b*c?d\"e<f>g|h\ti \u00fc\u4e2d.", out, 64);
  EXPECT_EQ(std::u16string(out), u".._up_a_b_c_d_e_f_g_h_i \u00fc\u4e2d.");
  capture::SanitizeTag(u"abcdef", out, 4);
  EXPECT_EQ(std::u16string(out), u"abc");
  capture::SanitizeTag(nullptr, out, 4);
  EXPECT_EQ(std::u16string(out), u"");
}

}  // namespace
