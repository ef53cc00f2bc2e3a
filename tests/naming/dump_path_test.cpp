#include "capture/dump_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "block_builder.h"
#include "fakes/fake_platform.h"

namespace {

using naming_tests::MakeBlock;
using naming_tests::Place;

constexpr std::size_t kCapacity = 260;

class BuildDumpPathTest : public ::testing::Test {
 protected:
  BuildDumpPathTest() { info_.process = reinterpret_cast<capture::Handle>(0x44); }

  bool Build(std::size_t dump_capacity = kCapacity, std::size_t dir_capacity = kCapacity) {
    return capture::BuildDumpPath(fake_.Ports(), &info_, address_, dump_, dump_capacity, dir_,
                                  dir_capacity);
  }
  void UseBlock(const CrashContextBlock& block) { address_ = Place(fake_, block); }
  void SetIni(const std::u16string& dir, const std::u16string& value) {
    fake_.ini[dir + u"\\Vostrel.ini"][u"Locale/Language"] = value;
  }
  void SetImage(const std::u16string& path, std::uint32_t ms = 0x000A0001u, std::uint32_t ls = 0) {
    fake_.SetClient(path, ms, ls);
  }
  bool CrashFolderExists(const std::u16string& dir = u"D:\\Game") const {
    return fake_.folders.count(dir + u"\\Crash") != 0;
  }
  int Calls(const char* primitive) const { return fake_.faults.Calls(primitive); }
  std::u16string Dump() const { return dump_; }
  std::u16string Dir() const { return dir_; }

  fakes::FakePlatform fake_;
  capture::CrashInfo info_;
  std::uint64_t address_ = 0;  // no block unless a test places one
  char16_t dump_[400] = {};
  char16_t dir_[400] = {};
};

// The three examples the support team works with, to the character.
TEST_F(BuildDumpPathTest, DevelopmentBlockWithTagAndRegionalLanguage) {
  UseBlock(MakeBlock(1, u"nightly", u"en-gb"));
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_Dev_10.1.0.0_2026-12-08_07-41-05_nightly_ENGB.dmp");
  EXPECT_EQ(Dir(), u"D:\\Game");
}

TEST_F(BuildDumpPathTest, NoBlockTakesLanguageFromSettingsInSummerTime) {
  SetImage(u"D:\\Game\\Client.exe", 0x000A0002u, 0x00000007u);
  SetIni(u"D:\\Game", u"tw");
  fake_.utc = {2026, 7, 1, 10, 0, 0};
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_10.2.0.7_2026-07-01_12-00-00_CN.dmp");
  EXPECT_EQ(fake_.last_ini_path, u"D:\\Game\\Vostrel.ini");
}

TEST_F(BuildDumpPathTest, ReadBlockDecidesAgainstTheDevelopmentVersion) {
  UseBlock(MakeBlock(0, u"", u"EN"));
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_10.1.0.0_2026-12-08_07-41-05_ENEU.dmp");
}

TEST_F(BuildDumpPathTest, DevelopmentMarkWithoutABlockComesFromTheVersion) {
  SetImage(u"D:\\Game\\Client.exe", 0x000A0001u, 0);  // 10.1.0.0
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_Dev_10.1.0.0_2026-12-08_07-41-05_ENEU.dmp");

  SetImage(u"D:\\Game\\Client.exe", 0x000A0001u, 1);  // 10.1.0.1
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_10.1.0.1_2026-12-08_07-41-05_ENEU.dmp");

  // A block that fails its check counts as no block at all, its fields unused.
  auto block = MakeBlock(0, u"tag", u"de");
  block.version = 3;
  SetImage(u"D:\\Game\\Client.exe", 0x000A0001u, 0);
  UseBlock(block);
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_Dev_10.1.0.0_2026-12-08_07-41-05_ENEU.dmp");
}

TEST_F(BuildDumpPathTest, VersionPrintsEveryPartInFullDecimal) {
  SetImage(u"D:\\Game\\Client.exe", 0xFFFF0000u, 0x0100FFFFu);
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_65535.0.256.65535_2026-12-08_07-41-05_ENEU.dmp");
}

TEST_F(BuildDumpPathTest, AnyNonZeroDevelopmentFlagMarks) {
  SetImage(u"D:\\Game\\Client.exe", 0x000A0002u, 0);
  UseBlock(MakeBlock(256, u"", u"de"));
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_Dev_10.2.0.0_2026-12-08_07-41-05_DE.dmp");
}

TEST_F(BuildDumpPathTest, EmptyBlockLanguageAsksSettingsButKeepsBlockMarkAndTag) {
  SetIni(u"D:\\Game", u"fr");
  UseBlock(MakeBlock(7, u"qa", u""));
  SetImage(u"D:\\Game\\Client.exe", 0x000A0002u, 0);
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_Dev_10.2.0.0_2026-12-08_07-41-05_qa_FR.dmp");
}

TEST_F(BuildDumpPathTest, BlockLanguageWinsOverSettings) {
  SetIni(u"D:\\Game", u"fr");
  UseBlock(MakeBlock(0, u"", u"pl"));
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_10.1.0.0_2026-12-08_07-41-05_PL.dmp");
  EXPECT_EQ(Calls("GetPrivateProfileStringW"), 0);
}

TEST_F(BuildDumpPathTest, SettingsThatGiveNothingUsableMeanENEU) {
  for (const std::u16string value : {u"", u"--", u"\u00e9\u00e8"}) {
    SetIni(u"D:\\Game", value);
    ASSERT_TRUE(Build());
    EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_Dev_10.1.0.0_2026-12-08_07-41-05_ENEU.dmp");
  }
  fake_.ini.clear();  // no file at all
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_Dev_10.1.0.0_2026-12-08_07-41-05_ENEU.dmp");
}

TEST_F(BuildDumpPathTest, SettingsPathThatDoesNotFitMeansENEUWithoutAsking) {
  // 248 units of directory: the image path (259) fits, "\Vostrel.ini" (260) does not.
  const std::u16string dir = u"D:\\" + std::u16string(245, u'g');
  SetImage(dir + u"\\Client.exe");
  ASSERT_TRUE(Build(400));
  EXPECT_EQ(Calls("GetPrivateProfileStringW"), 0);
  EXPECT_EQ(Dump(), dir + u"\\Crash\\Client_Dev_10.1.0.0_2026-12-08_07-41-05_ENEU.dmp");
}

TEST_F(BuildDumpPathTest, AcceptsTheClientImageInAnyAsciiCase) {
  for (const std::u16string name : {u"CLIENT.EXE", u"client.exe", u"cLiEnT.ExE"}) {
    SetImage(u"D:\\Game\\" + name);
    EXPECT_TRUE(Build()) << std::string(name.begin(), name.end());
  }
}

TEST_F(BuildDumpPathTest, RefusesEveryOtherImageBeforeTouchingAnything) {
  const std::u16string refused[] = {u"D:\\Game\\Client.exe.bak", u"D:\\Game\\Client64.exe",
                                    u"D:\\Game\\Client.exe ",     u"D:\\Game\\\u0130Client.exe",
                                    u"Client.exe",                u"D:/Game/Client.exe",
                                    u"D:\\Game\\"};
  for (const auto& path : refused) {
    SetImage(path);
    std::fill(std::begin(dir_), std::end(dir_), u'#');
    EXPECT_FALSE(Build()) << std::string(path.begin(), path.end());
    EXPECT_EQ(dir_[0], u'#');
  }
  EXPECT_EQ(Calls("CreateDirectoryW"), 0);
  EXPECT_EQ(Calls("GetFileVersionInfoW"), 0);
}

TEST_F(BuildDumpPathTest, ClientAtADriveRoot) {
  SetImage(u"C:\\Client.exe");
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dir(), u"C:");
  EXPECT_EQ(Dump(), u"C:\\Crash\\Client_Dev_10.1.0.0_2026-12-08_07-41-05_ENEU.dmp");
  EXPECT_TRUE(CrashFolderExists(u"C:"));
}

TEST_F(BuildDumpPathTest, AnythingNamedCrashAlreadyThereIsAccepted) {
  fake_.folders.insert(u"D:\\Game\\Crash");
  EXPECT_TRUE(Build());
  fake_.folders.erase(u"D:\\Game\\Crash");
  fake_.AddFile(u"D:\\Game\\Crash");  // the dump itself fails later
  EXPECT_TRUE(Build());
  EXPECT_EQ(fake_.folder_requests,
            (std::vector<std::u16string>{u"D:\\Game\\Crash", u"D:\\Game\\Crash"}));
}

TEST_F(BuildDumpPathTest, TagOf63UnitsFits) {
  const std::u16string tag(63, u't');
  UseBlock(MakeBlock(0, tag + u"overflow", u"de"));  // 64 units in the client: the last one is cut
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_10.1.0.0_2026-12-08_07-41-05_" + tag + u"_DE.dmp");
}

// The tag is client text inside a file name: units that Windows refuses in a name would
// move the dump elsewhere or make it fail, so they become '_'; all others stay.
TEST_F(BuildDumpPathTest, TagUnitsThatNoFileNameMayHoldBecomeUnderscores) {
  UseBlock(MakeBlock(0, u"..\\..\\x/y:z*?\"<>|\x01\x1f \u00fc\u4e2d", u"de"));
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_10.1.0.0_2026-12-08_07-41-05_.._.._x_y_z________ "
                    u"\u00fc\u4e2d_DE.dmp");
}

TEST_F(BuildDumpPathTest, NewYearInCentralEuropeTakesTheRulesOfTheUtcYear) {
  fake_.utc = {2026, 12, 31, 23, 30, 0};
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_Dev_10.1.0.0_2027-01-01_00-30-00_ENEU.dmp");
  EXPECT_EQ(fake_.asked_zone, u"Central European Standard Time");
}

TEST_F(BuildDumpPathTest, UnknownZoneFallsBackToTheMachinesLocalTime) {
  fake_.faults.FailEveryCall("GetTimeZoneInformationForYear");
  fake_.machine_local = {987, 2, 3, 4, 5, 6};
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_Dev_10.1.0.0_0987-02-03_04-05-06_ENEU.dmp");
}

TEST_F(BuildDumpPathTest, DumpPathOf260UnitsFailsAfterTheFolderWasCreated) {
  const std::u16string name = u"\\Crash\\Client_Dev_10.1.0.0_2026-12-08_07-41-05_ENEU.dmp";
  for (std::size_t total : {259u, 260u}) {
    const std::u16string dir = u"D:\\" + std::u16string(total - name.size() - 3, u'd');
    SetImage(dir + u"\\Client.exe");
    const bool built = Build();
    EXPECT_EQ(built, total == 259) << total;
    EXPECT_TRUE(CrashFolderExists(dir));
    EXPECT_EQ(Dir(), dir);
    EXPECT_EQ(Dump(), (dir + name).substr(0, 259));
  }
}

// What each failure leaves behind: the client directory output and the crash folder.
TEST_F(BuildDumpPathTest, FailuresBeforeTheFolderLeaveNoFolder) {
  std::fill(std::begin(dir_), std::end(dir_), u'#');
  fake_.faults.FailEveryCall("QueryFullProcessImageNameW");
  EXPECT_FALSE(Build());
  EXPECT_EQ(dir_[0], u'#');
  fake_.faults.Heal("QueryFullProcessImageNameW");

  SetImage(u"D:\\" + std::u16string(246, u'x') + u"\\Client.exe");  // 260 units: does not fit
  EXPECT_FALSE(Build());
  EXPECT_EQ(dir_[0], u'#');
  SetImage(u"D:\\Game\\Client.exe");

  EXPECT_FALSE(Build(kCapacity, 0));  // capacity 0: untouched
  EXPECT_EQ(dir_[0], u'#');

  EXPECT_FALSE(Build(kCapacity, std::size_t{2147483648}));  // invalid: left empty
  EXPECT_EQ(Dir(), u"");

  std::fill(std::begin(dir_), std::end(dir_), u'#');
  EXPECT_FALSE(Build(kCapacity, 7));  // "D:\Game" needs 8
  EXPECT_EQ(Dir(), u"D:\\Gam");

  fake_.faults.FailEveryCall("CreateDirectoryW");
  EXPECT_FALSE(Build());
  EXPECT_EQ(Dir(), u"D:\\Game");

  EXPECT_FALSE(CrashFolderExists());
  EXPECT_EQ(Calls("GetFileVersionInfoW"), 0);
  for (char16_t unit : dump_) ASSERT_EQ(unit, u'\0');  // the dump path is touched last
}

// The version resource's heap block lives and dies inside the one platform call
// (capture/ports_win.cpp); here the call fails as a whole, for a client without a
// resource or for any failing step.
TEST_F(BuildDumpPathTest, VersionFailuresLeaveTheFolder) {
  auto expect_failure = [this](const char* what) {
    std::fill(std::begin(dir_), std::end(dir_), u'#');
    EXPECT_FALSE(Build()) << what;
    EXPECT_EQ(Dir(), u"D:\\Game") << what;
    EXPECT_TRUE(CrashFolderExists()) << what;
    EXPECT_EQ(Calls("GetPrivateProfileStringW"), 0) << what;
  };
  fake_.versions.clear();
  expect_failure("no resource");
  SetImage(u"D:\\Game\\Client.exe");

  fake_.faults.FailEveryCall("GetFileVersionInfoW");
  expect_failure("the version call fails");
  EXPECT_EQ(Calls("ReadProcessMemory"), 0);  // the block is read only once the version is known
}

// The root block holds fixed information only with the whole structure and its signature;
// anything else is no version, not a made-up one.
TEST_F(BuildDumpPathTest, ARootBlockWithoutFixedFileInformationGivesNoVersion) {
  struct Case {
    std::uint32_t length;
    std::uint32_t signature;
    bool built;
  } cases[] = {{52, 0xFEEF04BDu, true}, {51, 0xFEEF04BDu, false}, {0, 0xFEEF04BDu, false},
               {52, 0x0001006Cu, false}, {60, 0xFEEF04BDu, true}};
  for (const Case& c : cases) {
    fake_.fixed_info_length = c.length;
    fake_.fixed_info_signature = c.signature;
    EXPECT_EQ(Build(), c.built) << c.length << " " << std::hex << c.signature;
    EXPECT_TRUE(CrashFolderExists());
  }
  EXPECT_EQ(fake_.OpenHandles(), 0);  // version.dll freed on every path
}

// The conversion takes the zone list's own entry for the key name; a list without it,
// or none at all, leaves the machine's local time, as an unknown zone does.
TEST_F(BuildDumpPathTest, TheZoneComesFromThePlatformsZoneList) {
  fake_.machine_local = {987, 2, 3, 4, 5, 6};
  ASSERT_TRUE(Build());
  EXPECT_EQ(Calls("EnumDynamicTimeZoneInformation"), 3);  // found at index 2, not walked past
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_Dev_10.1.0.0_2026-12-08_07-41-05_ENEU.dmp");

  fake_.zones = {u"UTC", u"Romance Standard Time"};
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_Dev_10.1.0.0_0987-02-03_04-05-06_ENEU.dmp");

  fake_.zones = {u"Central European Standard Time"};
  fake_.faults.FailEveryCall("EnumDynamicTimeZoneInformation");
  ASSERT_TRUE(Build());
  EXPECT_EQ(Dump(), u"D:\\Game\\Crash\\Client_Dev_10.1.0.0_0987-02-03_04-05-06_ENEU.dmp");
  EXPECT_EQ(Calls("GetTimeZoneInformationForYear"), 1);  // only in the first build
  EXPECT_EQ(fake_.OpenHandles(), 0);
}

TEST_F(BuildDumpPathTest, NoExceptionInformationIsRefused) {
  EXPECT_FALSE(capture::BuildDumpPath(fake_.Ports(), nullptr, 0, dump_, kCapacity, dir_, kCapacity));
}

}  // namespace
