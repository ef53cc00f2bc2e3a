#include "capture/context_block_read.h"

#include <gtest/gtest.h>

#include <string>

#include "block_builder.h"

namespace {

using naming_tests::MakeBlock;
using naming_tests::Place;

const capture::Handle kProcess = reinterpret_cast<capture::Handle>(0x44);

class ReadContextBlockTest : public ::testing::Test {
 protected:
  bool Read(std::uint64_t address) {
    std::memset(&copy_, 0, sizeof(copy_));
    return capture::ReadContextBlock(process_, kProcess, address, &copy_);
  }
  fakes::FakePlatform process_;
  CrashContextBlock copy_;
};

TEST_F(ReadContextBlockTest, CopiesAValidBlock) {
  const auto address = Place(process_, MakeBlock(256, u"nightly", u"de"));
  ASSERT_TRUE(Read(address));
  EXPECT_EQ(copy_.developmentBuild, 256u);
  EXPECT_EQ(std::u16string(copy_.tag), u"nightly");
  EXPECT_EQ(std::u16string(copy_.language), u"de");
  EXPECT_EQ(process_.faults.Calls("ReadProcessMemory"), 1);
}

TEST_F(ReadContextBlockTest, NullArgumentsFailWithoutReading) {
  const auto address = Place(process_, MakeBlock());
  process_.memory_base = 0;  // even memory at address 0 must not be asked for
  EXPECT_FALSE(Read(0));
  EXPECT_FALSE(capture::ReadContextBlock(process_, nullptr, address, &copy_));
  EXPECT_FALSE(capture::ReadContextBlock(process_, kProcess, address, nullptr));
  EXPECT_EQ(process_.faults.Calls("ReadProcessMemory"), 0);
}

TEST_F(ReadContextBlockTest, ShortOrFailedReadIsNotRead) {
  auto address = Place(process_, MakeBlock());
  process_.memory.pop_back();  // the last byte lies in unreadable memory
  EXPECT_FALSE(Read(address));

  address = Place(process_, MakeBlock());
  process_.faults.FailEveryCall("ReadProcessMemory");
  EXPECT_FALSE(Read(address));
}

TEST_F(ReadContextBlockTest, OnlySizeAndVersionOfThisLayoutAreAccepted) {
  for (std::uint32_t version : {0u, 1u, 3u}) {
    auto block = MakeBlock();
    block.version = version;
    EXPECT_FALSE(Read(Place(process_, block))) << version;
  }
  for (std::uint32_t size : {37064u, 37072u, 0u}) {
    auto block = MakeBlock();
    block.size = size;
    EXPECT_FALSE(Read(Place(process_, block))) << size;
  }
}

TEST_F(ReadContextBlockTest, TerminatesEveryStringInItsLastUnit) {
  auto block = MakeBlock();
  std::fill(std::begin(block.tag), std::end(block.tag), u'T');
  std::fill(std::begin(block.language), std::end(block.language), u'L');
  std::fill(std::begin(block.reportText1), std::end(block.reportText1), u'1');
  std::fill(std::begin(block.reportText2), std::end(block.reportText2), u'2');
  ASSERT_TRUE(Read(Place(process_, block)));
  EXPECT_EQ(std::u16string(copy_.tag), std::u16string(63, u'T'));
  EXPECT_EQ(std::u16string(copy_.language), std::u16string(31, u'L'));
  EXPECT_EQ(std::u16string(copy_.reportText1), std::u16string(2047, u'1'));
  EXPECT_EQ(std::u16string(copy_.reportText2), std::u16string(16383, u'2'));
}

}  // namespace
