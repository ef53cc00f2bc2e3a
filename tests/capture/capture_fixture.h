// A crashed client for the capture tests: D:\Game\Client.exe, version 10.2.0.7, an access
// violation inside nvwgf2umx.dll, Brisvane.exe beside the client, no readable block.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "capture/capture.h"
#include "fakes/fake_platform.h"

namespace capture_test {

inline constexpr char16_t kDumpPath[] =
    u"D:\\Game\\Crash\\Client_10.2.0.7_2026-03-01_21-14-05_ENEU.dmp";
inline constexpr char16_t kTempPath[] =
    u"D:\\Game\\Crash\\Client_10.2.0.7_2026-03-01_21-14-05_ENEU.dmp.tmp";
inline constexpr char16_t kTextPath[] =
    u"D:\\Game\\Crash\\Client_10.2.0.7_2026-03-01_21-14-05_ENEU.txt";
inline constexpr char16_t kTextTempPath[] =
    u"D:\\Game\\Crash\\Client_10.2.0.7_2026-03-01_21-14-05_ENEU.txt.tmp";
inline constexpr char16_t kNotifier[] = u"D:\\Game\\Brisvane.exe";

struct CrashedClient {
  CrashedClient() {
    fake.SetClient(u"D:\\Game\\Client.exe", 0x000A0002u, 0x00000007u);
    fake.AddFile(kNotifier, "MZ");
    fake.utc = {2026, 3, 1, 20, 14, 5};
    fake.modules = {{0x7FF600000000, 0x20000, u"Client.exe"},
                    {0x7FFB30000000, 0x1F0000, u"ntdll.dll"},
                    {0x7FFB2C000000, 0x800000, u"nvwgf2umx.dll"}};
    info.process = reinterpret_cast<capture::Handle>(std::uintptr_t{0x44});
    info.thread = reinterpret_cast<capture::Handle>(std::uintptr_t{0x48});
    info.code = 0xC0000005;
    info.address = 0x7FFB2C4A1F3E;
    info.exception_record = &record_stand_in;
    info.context = &context_stand_in;
  }

  bool RunCapture() { return capture::Capture(fake.Ports(), &info, 0x10000); }

  // Nothing left open and no handle misused, whatever path the capture took.
  void ExpectHandlesBalanced() const {
    EXPECT_EQ(fake.OpenHandles(), 0);
    EXPECT_EQ(fake.handle_misuses, 0);
  }
  void ExpectNothingWritten() const {
    EXPECT_TRUE(fake.FilesIn(u"D:\\Game\\Crash").empty());
    EXPECT_TRUE(fake.starts.empty());
  }
  std::u16string CommandLine() const {
    return fake.starts.empty() ? u"<not started>" : fake.starts[0].command_line;
  }

  fakes::FakePlatform fake;
  capture::CrashInfo info;
  int record_stand_in = 0;
  int context_stand_in = 0;
};

class CaptureTest : public ::testing::Test, public CrashedClient {};

}  // namespace capture_test
