// The rules crash-triage applies that no independent reader checks: what a dump's file
// name says, the Central European time of a dump's own time stamp, the bucket key, and
// how versions order. The reader itself is checked against obj2yaml and the fuzzer.
#include <gtest/gtest.h>

#include "triage/buckets.h"
#include "triage/summary.h"

namespace triage {
namespace {

TEST(DumpName, ReadsTheCapturesForms) {
  auto name = ParseDumpName("Client_Dev_10.1.0.0_2026-12-08_07-41-05_nightly_ENGB.dmp");
  ASSERT_TRUE(name);
  EXPECT_TRUE(name->development);
  EXPECT_EQ(name->version, "10.1.0.0");
  EXPECT_EQ(name->time, "2026-12-08T07:41:05");
  EXPECT_EQ(name->tag, "nightly");
  EXPECT_EQ(name->language, "ENGB");

  name = ParseDumpName("Client_10.2.0.7_2026-07-01_12-00-00_CN.dmp");
  ASSERT_TRUE(name);
  EXPECT_FALSE(name->development);
  EXPECT_EQ(name->tag, std::nullopt);
  // A tag may hold underscores; the language is what follows the last one.
  name = ParseDumpName("Client_10.2.0.7_2026-07-01_12-00-00_qa_run_7_DE.dmp");
  ASSERT_TRUE(name);
  EXPECT_EQ(name->tag, "qa_run_7");
  EXPECT_EQ(name->language, "DE");
}

TEST(DumpName, AnyOtherNameSaysNothing) {
  for (const char* other : {"my crash.dmp", "Client_10.2.0.7_2026-07-01_12-00-00_CN (1).dmp",
                            "Client_10.2.0_2026-07-01_12-00-00_CN.dmp", "Client_10.2.0.7_2026-13-01_12-00-00_CN.dmp",
                            "Client_10.2.0.7_2026-07-01_24-00-00_CN.dmp", "Client_10.2.0.7_2026-07-01_12-00-00_cn.dmp",
                            "Client_10.2.0.7_2026-07-01_12-00-00_CN.txt", "Client_70000.2.0.7_2026-07-01_12-00-00_CN.dmp",
                            "Client_10.2.0.7_2026-07-01_12-00-00.dmp", ".dmp", ""}) {
    EXPECT_EQ(ParseDumpName(other), std::nullopt) << other;
  }
}

TEST(CentralEuropeanTime, FollowsTheEuropeanSummerTimeRule) {
  EXPECT_EQ(CentralEuropeanTime(1798759800), "2027-01-01T00:30:00");  // 2026-12-31 23:30 UTC
  // 2026 summer time: from 2026-03-29 01:00 UTC to 2026-10-25 01:00 UTC.
  EXPECT_EQ(CentralEuropeanTime(1774745999), "2026-03-29T01:59:59");
  EXPECT_EQ(CentralEuropeanTime(1774746000), "2026-03-29T03:00:00");
  EXPECT_EQ(CentralEuropeanTime(1792889999), "2026-10-25T02:59:59");
  EXPECT_EQ(CentralEuropeanTime(1792890000), "2026-10-25T02:00:00");
  EXPECT_EQ(UtcTime(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(DayText(*DayNumber("2028-02-29") + 1), "2028-03-01");
}

TEST(Buckets, KeyOnCodeModuleAndOffset) {
  Summary s;
  s.readable = true;
  EXPECT_EQ(BucketKey(s), "no exception");
  s.exception = Summary::Exception{};
  s.exception->code = 0xC0000005;
  s.fault = Summary::Fault{};
  EXPECT_EQ(BucketKey(s), "0xC0000005");
  s.fault->module = "NVWGF2UMX.DLL";
  s.fault->offset = 0x1382;
  EXPECT_EQ(BucketKey(s), "0xC0000005 nvwgf2umx.dll+0x1382");
}

TEST(Buckets, VersionsOrderByTheirNumbers) {
  EXPECT_TRUE(VersionLess("10.2.0.7", "10.10.0.0"));
  EXPECT_FALSE(VersionLess("10.10.0.0", "10.2.0.7"));
  EXPECT_TRUE(VersionLess("31.0.15.5222", "beta"));
}

}  // namespace
}  // namespace triage
