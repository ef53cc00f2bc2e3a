#include "capture/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "utf8_vectors.h"

namespace capture {
namespace {

using ConvertFn = void (*)(const char16_t*, char*, std::size_t);

// The whole buffer: the expected bytes, then zeros up to the end.
void ExpectConverts(ConvertFn convert, const report_test::Utf8Vector& v) {
  std::vector<char> buffer(v.capacity, 'x');
  convert(v.text.c_str(), buffer.data(), buffer.size());
  std::string expected = v.expected;
  expected.resize(v.capacity, '\0');
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), expected) << v.what;
}

// On Windows ToUtf8 is the platform's conversion, so this also holds it to the vectors.
TEST(Utf8, BuildConverterMatchesTheVectors) {
  for (const auto& v : report_test::kUtf8Vectors) ExpectConverts(ToUtf8, v);
}

TEST(Utf8, PortableConverterMatchesTheVectors) {
  for (const auto& v : report_test::kUtf8Vectors) ExpectConverts(ToUtf8Portable, v);
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
  char whole[] = "ab\xE2\x82\xAC";
  TerminateUtf8(whole, sizeof(whole));
  EXPECT_STREQ(whole, "ab\xE2\x82\xAC");
  char forced[] = {'a', 'b', 'c', 'd'};  // no NUL: the last byte becomes one
  TerminateUtf8(forced, sizeof(forced));
  EXPECT_STREQ(forced, "abc");
}

}  // namespace
}  // namespace capture
