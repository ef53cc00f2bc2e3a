// A crashed client for the capture tests: D:\Game\Client.exe, version 10.2.0.7, an access
// violation inside nvwgf2umx.dll, Brisvane.exe beside the client, no readable block.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "capture/capture.h"
#include "fakes/fake_files.h"
#include "fakes/fake_naming.h"
#include "fakes/fake_process.h"

namespace capture_test {

inline constexpr char16_t kDumpPath[] =
    u"D:\\Game\\Crash\\Client_10.2.0.7_2026-03-01_21-14-05_ENEU.dmp";
inline constexpr char16_t kTempPath[] =
    u"D:\\Game\\Crash\\Client_10.2.0.7_2026-03-01_21-14-05_ENEU.dmp.tmp";
inline constexpr char16_t kTextPath[] =
    u"D:\\Game\\Crash\\Client_10.2.0.7_2026-03-01_21-14-05_ENEU.txt";
inline constexpr char16_t kNotifier[] = u"D:\\Game\\Brisvane.exe";

class CaptureTest : public ::testing::Test {
 public:
  CaptureTest() {
    fs.AddFolder(u"D:\\Game");
    fs.AddFile(kNotifier, "MZ");
    version.resources[u"D:\\Game\\Client.exe"] = {0x000A0002u, 0x00000007u};
    clock.utc = {2026, 3, 1, 20, 14, 5};
    modules.modules = {{0x7FF600000000, 0x20000, u"Client.exe"},
                       {0x7FFB30000000, 0x1F0000, u"ntdll.dll"},
                       {0x7FFB2C000000, 0x800000, u"nvwgf2umx.dll"}};
    info.process = reinterpret_cast<capture::Handle>(std::uintptr_t{0x44});
    info.thread = reinterpret_cast<capture::Handle>(std::uintptr_t{0x48});
    info.code = 0xC0000005;
    info.address = 0x7FFB2C4A1F3E;
    info.exception_record = &record_stand_in;
    info.context = &context_stand_in;
  }

  capture::CapturePorts Ports() {
    return {{process, fs, version, settings, clock}, modules, fs, dumps, starter};
  }
  bool RunCapture() { return capture::Capture(Ports(), &info, 0x10000); }

  // Nothing left open, whatever path the capture took.
  void ExpectHandlesBalanced() {
    EXPECT_EQ(fs.open_handles(), 0);
    EXPECT_EQ(fs.bad_handle_uses, 0);
    EXPECT_EQ(modules.open_snapshots, 0);
    EXPECT_EQ(starter.open_handles, 0);
    EXPECT_EQ(version.outstanding, 0);
  }
  void ExpectNothingWritten() {
    EXPECT_TRUE(fs.FilesIn(u"D:\\Game\\Crash").empty());
    EXPECT_TRUE(starter.starts.empty());
  }
  std::u16string CommandLine() const {
    return starter.starts.empty() ? u"<not started>" : starter.starts[0].command_line;
  }

  fakes::FakeProcess process;
  fakes::FakeModules modules;
  fakes::FakeVersion version;
  fakes::FakeSettings settings;
  fakes::FakeClock clock;
  fakes::FakeFileSystem fs;
  fakes::FakeDumpWriter dumps{fs};
  fakes::FakeProcessStarter starter;
  capture::CrashInfo info;
  int record_stand_in = 0;
  int context_stand_in = 0;
};

}  // namespace capture_test
