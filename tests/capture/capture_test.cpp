#include "capture/capture.h"

#include <cstring>
#include <string>

#include "capture_fixture.h"

namespace {

using capture_test::CaptureTest;
using capture_test::kDumpPath;
using capture_test::kNotifier;
using capture_test::kTempPath;
using capture_test::kTextPath;

using Files = std::vector<std::u16string>;
const Files kDumpAndText = {u"Client_10.2.0.7_2026-03-01_21-14-05_ENEU.dmp",
                            u"Client_10.2.0.7_2026-03-01_21-14-05_ENEU.txt"};

TEST_F(CaptureTest, CommitsTheDumpWritesTheTextAndStartsTheNotifier) {
  ASSERT_TRUE(RunCapture());

  EXPECT_EQ(fs.FilesIn(u"D:\\Game\\Crash"), kDumpAndText);
  ASSERT_EQ(dumps.requests.size(), 1u);
  const capture::DumpRequest& r = dumps.requests[0];
  EXPECT_EQ(r.process, info.process);
  EXPECT_EQ(r.process_id, process.process_id);
  EXPECT_EQ(r.thread_id, process.thread_id);
  EXPECT_EQ(r.dump_type, 0x1865u);
  EXPECT_EQ(r.exception_record, &record_stand_in);
  EXPECT_EQ(r.context, &context_stand_in);
  EXPECT_EQ(r.stream_type, 10u);

  // One report, twice: in the dump with its NUL, in the text file without.
  const std::string& stream = dumps.last_stream;
  ASSERT_FALSE(stream.empty());
  EXPECT_EQ(stream.back(), '\0');
  EXPECT_EQ(std::strlen(stream.c_str()), stream.size() - 1);
  EXPECT_NE(stream.find("fault.module=nvwgf2umx.dll\r\n"), std::string::npos);
  EXPECT_EQ(fs.Content(kTextPath) + '\0', stream);
  EXPECT_EQ(fs.Content(kDumpPath), std::string(fakes::FakeDumpWriter::kHeader) + stream);

  ASSERT_EQ(starter.starts.size(), 1u);
  EXPECT_EQ(starter.starts[0].application, kNotifier);
  EXPECT_EQ(starter.starts[0].command_line,
            u"\"D:\\Game\\Brisvane.exe\" --module=\"nvwgf2umx.dll\"");
  EXPECT_EQ(starter.starts[0].current_dir, u"D:\\Game");
  ExpectHandlesBalanced();
}

TEST_F(CaptureTest, DeclinesWithoutProcessOrForAnotherImage) {
  EXPECT_FALSE(capture::Capture(Ports(), nullptr, 0x10000));
  info.process = nullptr;
  EXPECT_FALSE(RunCapture());
  EXPECT_TRUE(dumps.requests.empty());
  EXPECT_EQ(fs.folders.count(u"D:\\Game\\Crash"), 0u);

  info.process = reinterpret_cast<capture::Handle>(std::uintptr_t{0x44});
  process.image_path = u"D:\\Game\\Launcher.exe";
  EXPECT_FALSE(RunCapture());
  EXPECT_TRUE(dumps.requests.empty());
  EXPECT_EQ(fs.folders.count(u"D:\\Game\\Crash"), 0u);
  ExpectNothingWritten();
  ExpectHandlesBalanced();
}

TEST_F(CaptureTest, AnAddressInNoModuleGivesAnEmptyModuleOption) {
  info.address = 0x1234;
  ASSERT_TRUE(RunCapture());
  EXPECT_NE(dumps.last_stream.find("fault.module=unknown\r\n"), std::string::npos);
  EXPECT_EQ(CommandLine(), u"\"D:\\Game\\Brisvane.exe\" --module=\"\"");
  ExpectHandlesBalanced();
}

TEST_F(CaptureTest, AFailedSnapshotOnlyCostsTheModuleName) {
  modules.open_fails = true;
  ASSERT_TRUE(RunCapture());
  EXPECT_EQ(CommandLine(), u"\"D:\\Game\\Brisvane.exe\" --module=\"\"");
  EXPECT_EQ(fs.FilesIn(u"D:\\Game\\Crash"), kDumpAndText);
}

TEST_F(CaptureTest, AnUnreadableBlockDoesNotStopTheCapture) {
  process.read_fails = true;
  ASSERT_TRUE(RunCapture());
  EXPECT_GE(process.read_calls, 1);
  EXPECT_EQ(fs.FilesIn(u"D:\\Game\\Crash"), kDumpAndText);
}

TEST_F(CaptureTest, NoNotifierWhenBrisvaneIsMissingOrAFolder) {
  fs.files.erase(kNotifier);
  EXPECT_TRUE(RunCapture());
  EXPECT_EQ(fs.FilesIn(u"D:\\Game\\Crash"), kDumpAndText);
  EXPECT_TRUE(starter.starts.empty());

  fs.AddFolder(kNotifier);
  EXPECT_TRUE(RunCapture());
  EXPECT_TRUE(starter.starts.empty());
  ExpectHandlesBalanced();
}

TEST_F(CaptureTest, ANotifierThatFailsToStartDoesNotUndoTheDump) {
  starter.fails.always = true;
  EXPECT_TRUE(RunCapture());
  EXPECT_EQ(fs.FilesIn(u"D:\\Game\\Crash"), kDumpAndText);
  ExpectHandlesBalanced();
}

// Every way the dump can go wrong leaves no trace but the crash folder and no notifier.
TEST_F(CaptureTest, ABadDumpLeavesNothingBehind) {
  struct Case {
    const char* name;
    void (*arrange)(CaptureTest&);
  };
  const Case cases[] = {
      {"writer fails", [](CaptureTest& t) { t.dumps.fails.always = true; }},
      {"writer fails after writing", [](CaptureTest& t) { t.dumps.fails_after_writing = true; }},
      {"flush fails", [](CaptureTest& t) { t.fs.flush_fails.always = true; }},
      {"size query fails", [](CaptureTest& t) { t.fs.size_fails.always = true; }},
      {"dump of 31 bytes", [](CaptureTest& t) { t.dumps.truncate_to = 31; }},
      {"rename fails", [](CaptureTest& t) { t.fs.move_fails.always = true; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CaptureTest& t = *this;
    t.fs.files.erase(kDumpPath);
    t.fs.files.erase(kTempPath);
    t.fs.files.erase(kTextPath);
    t.dumps.fails = {};
    t.dumps.fails_after_writing = false;
    t.dumps.truncate_to = -1;
    t.fs.flush_fails = {};
    t.fs.size_fails = {};
    t.fs.move_fails = {};
    c.arrange(t);

    EXPECT_FALSE(RunCapture());
    EXPECT_TRUE(fs.FilesIn(u"D:\\Game\\Crash").empty());
    EXPECT_TRUE(starter.starts.empty());
    ExpectHandlesBalanced();
  }
}

TEST_F(CaptureTest, ADumpOfExactly32BytesIsKept) {
  dumps.truncate_to = 32;
  EXPECT_TRUE(RunCapture());
  EXPECT_EQ(fs.Content(kDumpPath).size(), 32u);
}

TEST_F(CaptureTest, AnotherWriterOfTheSameTemporaryFileMakesTheCaptureFail) {
  fs.AddFolder(u"D:\\Game\\Crash");
  fs.HoldOpenForWriting(kTempPath);
  EXPECT_FALSE(RunCapture());
  EXPECT_TRUE(dumps.requests.empty());
  EXPECT_FALSE(fs.Exists(kDumpPath));
  ExpectHandlesBalanced();
}

TEST_F(CaptureTest, ACrashFolderThatIsAFileMakesTheCaptureFail) {
  fs.AddFile(u"D:\\Game\\Crash");
  EXPECT_FALSE(RunCapture());
  EXPECT_TRUE(starter.starts.empty());
  ExpectHandlesBalanced();
}

TEST_F(CaptureTest, ReplacesAnOlderDumpAndAStaleTemporaryFile) {
  fs.AddFolder(u"D:\\Game\\Crash");
  fs.AddFile(kDumpPath, "older dump");
  fs.AddFile(kTempPath, "left over");
  fs.AddFile(kTextPath, "older report");
  ASSERT_TRUE(RunCapture());
  EXPECT_EQ(fs.FilesIn(u"D:\\Game\\Crash"), kDumpAndText);
  EXPECT_EQ(fs.Content(kDumpPath), std::string(fakes::FakeDumpWriter::kHeader) + dumps.last_stream);
  EXPECT_EQ(fs.Content(kTextPath) + '\0', dumps.last_stream);
}

TEST_F(CaptureTest, AReportTextFileThatFailsDoesNotUndoTheDumpOrTheNotifier) {
  // Calls of WriteFile: the text file's is the only one (the dump writer has its own).
  fs.write_fails.always = true;
  EXPECT_TRUE(RunCapture());
  EXPECT_TRUE(fs.Exists(kDumpPath));
  EXPECT_EQ(starter.starts.size(), 1u);
  ExpectHandlesBalanced();

  fs.write_fails = {};
  fs.files.erase(kTextPath);
  fs.create_fails.on_call = fs.create_fails.calls + 2;  // the text file's create this time
  EXPECT_TRUE(RunCapture());
  EXPECT_FALSE(fs.Exists(kTextPath));
  EXPECT_EQ(starter.starts.size(), 2u);
  ExpectHandlesBalanced();
}

TEST(ReportTextFile, TakesTheDumpPathWithTxtForItsExtension) {
  fakes::FakeFileSystem fs;
  fs.AddFolder(u"C:\\Game\\Crash");
  const char report[] = "crash.schema=2\r\n";
  EXPECT_TRUE(capture::WriteReportTextFile(
      fs, u"C:\\Game\\Crash\\Client_10.2.0.7_2026-03-01_21-14-05_ENEU.dmp", report, 16));
  EXPECT_EQ(fs.Content(u"C:\\Game\\Crash\\Client_10.2.0.7_2026-03-01_21-14-05_ENEU.txt"),
            "crash.schema=2\r\n");

  // A path without any dot has no extension to replace.
  EXPECT_FALSE(capture::WriteReportTextFile(fs, u"C:\\Game\\Crash\\Client", report, 16));
  // A short write is no report.
  fs.short_write = 5;
  EXPECT_FALSE(capture::WriteReportTextFile(fs, u"C:\\Game\\Crash\\b.dmp", report, 16));
  EXPECT_EQ(fs.open_handles(), 0);
}

TEST(ReportTextFile, GivesUpWhenTheNewNameDoesNotFit) {
  fakes::FakeFileSystem fs;
  fs.AddFolder(u"D:");
  // 259 units ending in ".d": ".txt" in place of ".d" would need 261 units and more.
  const std::u16string path = u"D:\\" + std::u16string(254, u'a') + u".d";
  ASSERT_EQ(path.size(), 259u);
  EXPECT_FALSE(capture::WriteReportTextFile(fs, path.c_str(), "r", 1));
  EXPECT_TRUE(fs.files.empty());
}

TEST(FaultModule, TakesTheFirstModuleWhoseRangeHoldsTheAddress) {
  fakes::FakeModules modules;
  modules.modules = {{0x1000, 0x1000, u"a.dll"},
                     {0x3000, 0x1000, u"b.dll"},
                     {0x3000, 0x2000, u"overlapping.dll"}};
  char16_t name[260] = u"stale";
  struct Probe {
    std::uint64_t address;
    std::u16string expected;
  };
  const Probe probes[] = {{0x0FFF, u""},      {0x1000, u"a.dll"}, {0x1FFF, u"a.dll"},
                          {0x2000, u""},      {0x3FFF, u"b.dll"}, {0x4000, u"overlapping.dll"},
                          {0x5000, u""}};
  for (const Probe& p : probes) {
    capture::FindFaultModule(modules, 1, p.address, name, 260);
    EXPECT_EQ(std::u16string(name), p.expected) << std::hex << p.address;
  }
  EXPECT_EQ(modules.open_snapshots, 0);
}

TEST(FaultModule, AModuleAtTheTopOfTheAddressSpaceDoesNotWrapAround) {
  fakes::FakeModules modules;
  modules.modules = {{0xFFFFFFFFFFFF0000, 0x10000, u"top.dll"}, {0x1000, 0x1000, u"low.dll"}};
  char16_t name[260] = {};
  capture::FindFaultModule(modules, 1, 0x10, name, 260);
  EXPECT_EQ(std::u16string(name), u"");
  capture::FindFaultModule(modules, 1, 0xFFFFFFFFFFFFFFFF, name, 260);
  EXPECT_EQ(std::u16string(name), u"top.dll");
}

TEST(FaultModule, EmptyWhenNoModuleCanBeListed) {
  fakes::FakeModules modules;
  modules.modules = {{0x1000, 0x1000, u"a.dll"}};
  char16_t name[260] = u"stale";
  modules.first_fails = true;
  capture::FindFaultModule(modules, 1, 0x1000, name, 260);
  EXPECT_EQ(std::u16string(name), u"");
  EXPECT_EQ(modules.open_snapshots, 0);

  std::memcpy(name, u"stale", sizeof(u"stale"));
  modules.open_fails = true;
  capture::FindFaultModule(modules, 1, 0x1000, name, 260);
  EXPECT_EQ(std::u16string(name), u"");
}

}  // namespace
