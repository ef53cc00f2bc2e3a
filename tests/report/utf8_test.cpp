#include "capture/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "utf8_vectors.h"

namespace capture {
namespace {

// The whole buffer: the expected bytes, then zeros up to the end.
void ExpectConverts(const report_test::Utf8Vector& v) {
  std::vector<char> buffer(v.capacity, 'x');
  ToUtf8(v.text.c_str(), buffer.data(), buffer.size());
  std::string expected = v.expected;
  expected.resize(v.capacity, '\0');
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), expected) << v.what;
}

// Under Wine the oracle test holds the platform's conversion to this one on the same
// vectors, so both meet them.
TEST(Utf8, ConverterMatchesTheVectors) {
  for (const auto& v : report_test::kUtf8Vectors) ExpectConverts(v);
}

TEST(Utf8, NoBufferOrNoCapacityLeavesEverythingAlone) {
  char buffer[4] = {'x', 'y', 'z', 'w'};
  ToUtf8(u"abc", buffer, 0);
  EXPECT_EQ(std::string(buffer, 4), "xyzw");
  ToUtf8(u"abc", nullptr, 4);  // must not crash
}

TEST(Utf8, NullTextGivesTheEmptyText) {
  char buffer[4] = {'x', 'y', 'z', 'w'};
  ToUtf8(nullptr, buffer, sizeof(buffer));
  EXPECT_EQ(std::string(buffer, 4), std::string(4, '\0'));
}

TEST(Utf8, TerminateDropsOnlyAnIncompleteLastSequence) {
  char cut[] = "ab\xE2\x82";
  TerminateUtf8(cut, sizeof(cut));
  EXPECT_STREQ(cut, "ab");
  char cut_lowest_lead[] = "ab\xE0\xA0";  // E0 leads three bytes, like E2
  TerminateUtf8(cut_lowest_lead, sizeof(cut_lowest_lead));
  EXPECT_STREQ(cut_lowest_lead, "ab");
  char whole[] = "ab\xE2\x82\xAC";
  TerminateUtf8(whole, sizeof(whole));
  EXPECT_STREQ(whole, "ab\xE2\x82\xAC");
  char forced[] = {'a', 'b', 'c', 'd'};  // no NUL: the last byte becomes one
  TerminateUtf8(forced, sizeof(forced));
  EXPECT_STREQ(forced, "abc");
}

}  // namespace
}  // namespace capture
