#include "capture/report_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace capture {
namespace {

std::string Format(const char* format, std::initializer_list<ReportArg> args) {
  char buffer[128];
  const FormatResult result = FormatReportText(buffer, sizeof(buffer), format, args);
  return result.ok ? std::string(buffer) : std::string("<failed>");
}

TEST(FormatReportText, RendersTheFourConversions) {
  EXPECT_EQ(Format("%08lX", {std::uint32_t{0xC0000005}}), "C0000005");
  EXPECT_EQ(Format("%08lX", {std::uint32_t{5}}), "00000005");
  EXPECT_EQ(Format("%lu", {std::uint32_t{0}}), "0");
  EXPECT_EQ(Format("%lu", {std::uint32_t{4294967295u}}), "4294967295");
  EXPECT_EQ(Format("%p", {Address{0}}), "0000000000000000");
  EXPECT_EQ(Format("%p", {Address{0x7FFB2C4A1F3E}}), "00007FFB2C4A1F3E");
  EXPECT_EQ(Format("%p", {Address{0xFFFFF80012345678}}), "FFFFF80012345678");
  EXPECT_EQ(Format("k.%lu=%s\r\n", {std::uint32_t{12}, "v"}), "k.12=v\r\n");
  EXPECT_EQ(Format("%s", {static_cast<const char*>(nullptr)}), "");
}

TEST(FormatReportText, RefusesWhatTheReportNeverWrites) {
  EXPECT_EQ(Format("%d", {std::uint32_t{1}}), "<failed>");
  EXPECT_EQ(Format("%x", {std::uint32_t{1}}), "<failed>");
  EXPECT_EQ(Format("%s", {std::uint32_t{1}}), "<failed>");
  EXPECT_EQ(Format("%p", {std::uint32_t{1}}), "<failed>");
  EXPECT_EQ(Format("%lu", {}), "<failed>");
  EXPECT_EQ(Format("%", {"x"}), "<failed>");
}

TEST(FormatReportText, CountsThePieceAndWritesWhatFits) {
  char buffer[4] = {'x', 'x', 'x', 'x'};
  const FormatResult result = FormatReportText(buffer, sizeof(buffer), "%s", {"abcdef"});
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.length, 6u);
  EXPECT_STREQ(buffer, "abc");
}

class BoundedAppendTest : public testing::Test {
 protected:
  std::vector<char> buffer_ = std::vector<char>(8, 'x');
  std::string Text() const { return std::string(buffer_.data()); }
};

TEST_F(BoundedAppendTest, CutsAPieceAtTheBufferEndAndDropsLaterOnes) {
  buffer_[0] = '\0';
  BoundedAppend(buffer_.data(), buffer_.size(), "abc");
  EXPECT_EQ(Text(), "abc");
  BoundedAppend(buffer_.data(), buffer_.size(), "%s=%lu", {"de", std::uint32_t{12345}});
  EXPECT_EQ(Text(), "abcde=1");
  EXPECT_EQ(buffer_[7], '\0');
  BoundedAppend(buffer_.data(), buffer_.size(), "z");
  EXPECT_EQ(Text(), "abcde=1");
}

TEST_F(BoundedAppendTest, APieceOfExactlyTheRoomFillsTheBuffer) {
  buffer_[0] = '\0';
  BoundedAppend(buffer_.data(), buffer_.size(), "%s", {"1234567"});
  EXPECT_EQ(std::string(buffer_.begin(), buffer_.end()), std::string("1234567\0", 8));
}

TEST_F(BoundedAppendTest, ABufferWithoutNulIsFullAndUntouched) {
  BoundedAppend(buffer_.data(), buffer_.size(), "abc");
  EXPECT_EQ(std::string(buffer_.begin(), buffer_.end()), std::string(8, 'x'));
}

TEST_F(BoundedAppendTest, NoCapacityLeavesTheBufferAlone) {
  BoundedAppend(buffer_.data(), 0, "abc");
  EXPECT_EQ(std::string(buffer_.begin(), buffer_.end()), std::string(8, 'x'));
  BoundedAppend(nullptr, 8, "abc");  // must not crash
  buffer_[0] = '\0';
  BoundedAppend(buffer_.data(), 1, "abc");
  EXPECT_EQ(buffer_[0], '\0');
  EXPECT_EQ(buffer_[1], 'x');
}

TEST_F(BoundedAppendTest, AFailedFormatAppendsNothing) {
  buffer_[0] = 'a';
  buffer_[1] = '\0';
  BoundedAppend(buffer_.data(), buffer_.size(), "b%d", {std::uint32_t{1}});
  EXPECT_EQ(Text(), "a");
}

TEST_F(BoundedAppendTest, RoomBeyondTheLargestFormatAppendsNothing) {
  buffer_[0] = '\0';
  // The claimed capacity is never reached: the NUL at index 0 ends the scan.
  BoundedAppend(buffer_.data(), std::size_t{2147483647} + 2, "abc");
  EXPECT_EQ(Text(), "");
  EXPECT_EQ(buffer_[1], 'x');
}

}  // namespace
}  // namespace capture
