#include "common/bounded_string.h"

#include <gtest/gtest.h>

#include <string>

namespace common {
namespace {

using std::u16string;

TEST(BoundedCopy, CopiesWholeTextWhenItFits) {
  char16_t buffer[6] = {u'x', u'x', u'x', u'x', u'x', u'x'};
  EXPECT_EQ(BoundedCopy(buffer, 6, u"hello"), kOk);
  EXPECT_EQ(u16string(buffer), u"hello");
}

TEST(BoundedCopy, TruncatesTerminatesAndFailsWhenTheTerminatorDoesNotFit) {
  char16_t buffer[5];
  EXPECT_EQ(BoundedCopy(buffer, 5, u"hello"), kInsufficientBuffer);
  EXPECT_EQ(u16string(buffer), u"hell");
  char16_t one[1] = {u'x'};
  EXPECT_EQ(BoundedCopy(one, 1, u"a"), kInsufficientBuffer);
  EXPECT_EQ(one[0], u'\0');
  EXPECT_EQ(BoundedCopy(one, 1, u""), kOk);
}

TEST(BoundedCopy, InvalidCapacities) {
  char16_t buffer[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(BoundedCopy(buffer, 0, u"a"), kInvalidParameter);
  EXPECT_EQ(buffer[0], u'x') << "capacity 0 must not touch the buffer";
  EXPECT_EQ(BoundedCopy(buffer, kMaxCapacity + 1, u"a"), kInvalidParameter);
  EXPECT_EQ(buffer[0], u'\0') << "an oversized capacity leaves an empty string";
  EXPECT_EQ(BoundedCopy(buffer, kMaxCapacity, u"a"), kOk) << "the largest capacity is valid";
  EXPECT_EQ(BoundedCopy(nullptr, 4, u"a"), kInvalidParameter);
}

TEST(BoundedCopy, NullSourceCopiesNothing) {
  char16_t buffer[3] = {u'x', u'x', u'x'};
  EXPECT_EQ(BoundedCopy(buffer, 3, nullptr), kOk);
  EXPECT_EQ(buffer[0], u'\0');
}

TEST(BoundedFormat, FormatsTheDumpNamePatternWithPaddedNumbers) {
  char16_t buffer[260];
  ASSERT_EQ(BoundedFormat(buffer, 260, u"%s\\Client%s_%s_%04u-%02u-%02u_%02u-%02u-%02u%s_%s.dmp",
                          {u"D:\\Game\\Crash", u"_Dev", u"10.1.0.0", 2026u, 12u, 8u, 7u, 41u, 5u,
                           u"_nightly", u"ENGB"}),
            kOk);
  EXPECT_EQ(u16string(buffer), u"D:\\Game\\Crash\\Client_Dev_10.1.0.0_2026-12-08_07-41-05_nightly_ENGB.dmp");
}

TEST(BoundedFormat, WidthIsAMinimumNeverACut) {
  char16_t buffer[32];
  ASSERT_EQ(BoundedFormat(buffer, 32, u"%04u|%02u|%u|%3s|%%", {123456u, 0u, 4294967295u, u"ab"}), kOk);
  EXPECT_EQ(u16string(buffer), u"123456|00|4294967295| ab|%");
}

TEST(BoundedFormat, ExactFitSucceedsOneShortFailsTruncated) {
  char16_t buffer[8];
  EXPECT_EQ(BoundedFormat(buffer, 8, u"%s.tmp", {u"a.d"}), kOk);  // 7 units + terminator
  EXPECT_EQ(u16string(buffer), u"a.d.tmp");
  EXPECT_EQ(BoundedFormat(buffer, 7, u"%s.tmp", {u"a.d"}), kInsufficientBuffer);
  EXPECT_EQ(u16string(buffer), u"a.d.tm");
}

TEST(BoundedFormat, InvalidCapacitiesAndBadFormats) {
  char16_t buffer[8] = {u'x'};
  EXPECT_EQ(BoundedFormat(buffer, 0, u"%u", {1u}), kInvalidParameter);
  EXPECT_EQ(buffer[0], u'x');
  EXPECT_EQ(BoundedFormat(buffer, kMaxCapacity + 1, u"%u", {1u}), kInvalidParameter);
  EXPECT_EQ(buffer[0], u'\0');
  // A missing argument or one of the wrong kind is refused rather than read as garbage.
  EXPECT_EQ(BoundedFormat(buffer, 8, u"%u%u", {1u}), kInvalidParameter);
  EXPECT_EQ(BoundedFormat(buffer, 8, u"%s", {}), kInvalidParameter);  // no argument at all
  EXPECT_EQ(BoundedFormat(buffer, 8, u"%s", {1u}), kInvalidParameter);
  EXPECT_EQ(BoundedFormat(buffer, 8, u"%x", {1u}), kInvalidParameter);
  EXPECT_EQ(buffer[0], u'\0');
}

TEST(BoundedFormat, TextIsInsertedVerbatimIncludingPercentAndNonAscii) {
  char16_t buffer[16];
  ASSERT_EQ(BoundedFormat(buffer, 16, u"[%s]", {u"%u\u00fc\U0001F600"}), kOk);
  EXPECT_EQ(u16string(buffer), u"[%u\u00fc\U0001F600]");
  ASSERT_EQ(BoundedFormat(buffer, 16, u"%s", {static_cast<const char16_t*>(nullptr)}), kOk);
  EXPECT_EQ(u16string(buffer), u"(null)");
}

}  // namespace
}  // namespace common
