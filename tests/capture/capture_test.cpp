#include "capture/capture.h"
#include "capture/modules.h"
#include "capture/temporary_files.h"

#include <cstring>
#include <string>

#include "capture_fixture.h"

namespace {

using capture_test::CaptureTest;
using capture_test::CrashedClient;
using capture_test::kDumpPath;
using capture_test::kNotifier;
using capture_test::kTempPath;
using capture_test::kTextPath;
using capture_test::kTextTempPath;

using Files = std::vector<std::u16string>;
const Files kDumpAndText = {u"Client_10.2.0.7_2026-03-01_21-14-05_ENEU.dmp",
                            u"Client_10.2.0.7_2026-03-01_21-14-05_ENEU.txt"};

TEST_F(CaptureTest, CommitsTheDumpWritesTheTextAndStartsTheNotifier) {
  ASSERT_TRUE(RunCapture());

  EXPECT_EQ(fake.FilesIn(u"D:\\Game\\Crash"), kDumpAndText);
  ASSERT_EQ(fake.dump_requests.size(), 1u);
  const capture::DumpRequest& r = fake.dump_requests[0];
  EXPECT_EQ(r.process, info.process);
  EXPECT_EQ(r.process_id, fake.process_id);
  EXPECT_EQ(r.thread_id, fake.thread_id);
  EXPECT_EQ(r.dump_type, 0x1865u);
  EXPECT_EQ(r.exception_record, &record_stand_in);
  EXPECT_EQ(r.context, &context_stand_in);
  EXPECT_EQ(r.stream_type, 10u);

  // One report, twice: in the dump with its NUL, in the text file without.
  const std::string& stream = fake.last_stream;
  ASSERT_FALSE(stream.empty());
  EXPECT_EQ(stream.back(), '\0');
  EXPECT_EQ(std::strlen(stream.c_str()), stream.size() - 1);
  EXPECT_NE(stream.find("fault.module=nvwgf2umx.dll\r\n"), std::string::npos);
  EXPECT_EQ(fake.Content(kTextPath) + '\0', stream);
  EXPECT_EQ(fake.Content(kDumpPath), std::string(fakes::FakePlatform::kDumpHeader) + stream);

  ASSERT_EQ(fake.starts.size(), 1u);
  EXPECT_EQ(fake.starts[0].application, kNotifier);
  EXPECT_EQ(fake.starts[0].command_line,
            u"\"D:\\Game\\Brisvane.exe\" --module=\"nvwgf2umx.dll\"");
  EXPECT_EQ(fake.starts[0].current_dir, u"D:\\Game");
  ExpectHandlesBalanced();
}

TEST_F(CaptureTest, DeclinesWithoutProcessOrForAnotherImage) {
  EXPECT_FALSE(capture::Capture(fake.Ports(), nullptr, 0x10000));
  info.process = nullptr;
  EXPECT_FALSE(RunCapture());
  EXPECT_TRUE(fake.dump_requests.empty());
  EXPECT_EQ(fake.folders.count(u"D:\\Game\\Crash"), 0u);

  info.process = reinterpret_cast<capture::Handle>(std::uintptr_t{0x44});
  fake.image_path = u"D:\\Game\\Launcher.exe";
  EXPECT_FALSE(RunCapture());
  EXPECT_TRUE(fake.dump_requests.empty());
  EXPECT_EQ(fake.folders.count(u"D:\\Game\\Crash"), 0u);
  ExpectNothingWritten();
  ExpectHandlesBalanced();
}

TEST_F(CaptureTest, AnAddressInNoModuleGivesAnEmptyModuleOption) {
  info.address = 0x1234;
  ASSERT_TRUE(RunCapture());
  EXPECT_NE(fake.last_stream.find("fault.module=unknown\r\n"), std::string::npos);
  EXPECT_EQ(CommandLine(), u"\"D:\\Game\\Brisvane.exe\" --module=\"\"");
  ExpectHandlesBalanced();
}

TEST_F(CaptureTest, AFailedSnapshotOnlyCostsTheModuleName) {
  fake.faults.FailEveryCall("CreateToolhelp32Snapshot");
  ASSERT_TRUE(RunCapture());
  EXPECT_EQ(CommandLine(), u"\"D:\\Game\\Brisvane.exe\" --module=\"\"");
  EXPECT_EQ(fake.FilesIn(u"D:\\Game\\Crash"), kDumpAndText);
}

TEST_F(CaptureTest, AnUnreadableBlockDoesNotStopTheCapture) {
  fake.faults.FailEveryCall("ReadProcessMemory");
  ASSERT_TRUE(RunCapture());
  EXPECT_GE(fake.faults.Calls("ReadProcessMemory"), 1);
  EXPECT_EQ(fake.FilesIn(u"D:\\Game\\Crash"), kDumpAndText);
}

TEST_F(CaptureTest, NoNotifierWhenBrisvaneIsMissingOrAFolder) {
  fake.files.erase(kNotifier);
  EXPECT_TRUE(RunCapture());
  EXPECT_EQ(fake.FilesIn(u"D:\\Game\\Crash"), kDumpAndText);
  EXPECT_TRUE(fake.starts.empty());

  fake.folders.insert(kNotifier);
  EXPECT_TRUE(RunCapture());
  EXPECT_TRUE(fake.starts.empty());
  ExpectHandlesBalanced();
}

TEST_F(CaptureTest, ANotifierThatFailsToStartDoesNotUndoTheDump) {
  fake.faults.FailEveryCall("CreateProcessW");
  EXPECT_TRUE(RunCapture());
  EXPECT_EQ(fake.FilesIn(u"D:\\Game\\Crash"), kDumpAndText);
  ExpectHandlesBalanced();
}

// Every way the dump can go wrong leaves no trace but the crash folder and no notifier.
TEST(BadDump, LeavesNothingBehind) {
  struct Case {
    const char* name;
    void (*arrange)(fakes::FakePlatform&);
  };
  const Case cases[] = {
      {"writer fails", [](fakes::FakePlatform& f) { f.faults.FailEveryCall("MiniDumpWriteDump"); }},
      {"writer fails after writing", [](fakes::FakePlatform& f) { f.dump_fails_after_writing = true; }},
      {"flush fails", [](fakes::FakePlatform& f) { f.faults.FailEveryCall("FlushFileBuffers"); }},
      {"size query fails", [](fakes::FakePlatform& f) { f.faults.FailEveryCall("GetFileSizeEx"); }},
      {"dump of 31 bytes", [](fakes::FakePlatform& f) { f.dump_bytes = 31; }},
      {"rename fails", [](fakes::FakePlatform& f) { f.faults.FailEveryCall("MoveFileExW"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CrashedClient t;
    c.arrange(t.fake);
    EXPECT_FALSE(t.RunCapture());
    EXPECT_TRUE(t.fake.FilesIn(u"D:\\Game\\Crash").empty());
    EXPECT_TRUE(t.fake.starts.empty());
    t.ExpectHandlesBalanced();
  }
}

TEST_F(CaptureTest, ADumpOfExactly32BytesIsKept) {
  fake.dump_bytes = 32;
  EXPECT_TRUE(RunCapture());
  EXPECT_EQ(fake.Content(kDumpPath).size(), 32u);
}

TEST_F(CaptureTest, AnotherWriterOfTheSameTemporaryFileMakesTheCaptureFail) {
  fake.folders.insert(u"D:\\Game\\Crash");
  fake.HoldOpenForWriting(kTempPath);
  EXPECT_FALSE(RunCapture());
  EXPECT_TRUE(fake.dump_requests.empty());
  EXPECT_FALSE(fake.Exists(kDumpPath));
  ExpectHandlesBalanced();
}

TEST_F(CaptureTest, ACrashFolderThatIsAFileMakesTheCaptureFail) {
  fake.AddFile(u"D:\\Game\\Crash");
  EXPECT_FALSE(RunCapture());
  EXPECT_TRUE(fake.starts.empty());
  ExpectHandlesBalanced();
}

// A junction or mount point in the crash folder's place is refused before any file is
// created, and so is a folder whose attributes cannot be had.
TEST_F(CaptureTest, ACrashFolderThatIsALinkIsRefused) {
  fake.folders.insert(u"D:\\Game\\Crash");
  fake.reparse_points.insert(u"D:\\Game\\Crash");
  EXPECT_FALSE(RunCapture());
  EXPECT_EQ(fake.faults.Calls("CreateFileW"), 0);
  ExpectNothingWritten();

  fake.reparse_points.clear();
  fake.faults.FailCall("GetFileAttributesW", 2);  // the first call is the one above
  EXPECT_FALSE(RunCapture());
  EXPECT_EQ(fake.faults.Calls("CreateFileW"), 0);
  ExpectHandlesBalanced();
}

// Links planted under every name the capture writes are removed or replaced, never
// written through; one that cannot be removed makes the capture decline.
TEST_F(CaptureTest, LinksPlantedUnderItsNamesAreNeverFollowed) {
  const std::u16string victim = u"C:\\Windows\\system32\\victim.dll";
  fake.AddFile(victim, "system file");
  fake.folders.insert(u"D:\\Game\\Crash");
  for (const char16_t* name : {kTempPath, kDumpPath, kTextTempPath, kTextPath}) {
    fake.links[name] = victim;
  }
  ASSERT_TRUE(RunCapture());
  EXPECT_EQ(fake.Content(victim), "system file");
  EXPECT_TRUE(fake.links.empty());
  EXPECT_EQ(fake.FilesIn(u"D:\\Game\\Crash"), kDumpAndText);
  EXPECT_EQ(fake.Content(kTextPath) + '\0', fake.last_stream);

  CrashedClient held;
  held.fake.AddFile(victim, "system file");
  held.fake.folders.insert(u"D:\\Game\\Crash");
  held.fake.links[kTempPath] = victim;
  held.fake.faults.FailCall("DeleteFileW", 1);
  EXPECT_FALSE(held.RunCapture());
  EXPECT_EQ(held.fake.Content(victim), "system file");
  EXPECT_EQ(held.fake.links.size(), 1u);
  held.ExpectNothingWritten();
}

TEST_F(CaptureTest, ReplacesAnOlderDumpAndAStaleTemporaryFile) {
  fake.folders.insert(u"D:\\Game\\Crash");
  fake.AddFile(kDumpPath, "older dump");
  fake.AddFile(kTempPath, "left over");
  fake.AddFile(kTextPath, "older report");
  ASSERT_TRUE(RunCapture());
  EXPECT_EQ(fake.FilesIn(u"D:\\Game\\Crash"), kDumpAndText);
  EXPECT_EQ(fake.Content(kDumpPath), std::string(fakes::FakePlatform::kDumpHeader) + fake.last_stream);
  EXPECT_EQ(fake.Content(kTextPath) + '\0', fake.last_stream);
}

// A report text file that cannot be written whole never gets its name: only its
// temporary file was written, and it is gone; an older report of that name is untouched.
// The dump, the claim and the notifier stand.
TEST(ReportTextFile, OneNotWrittenWholeLeavesNoTraceAndTheDumpStays) {
  struct Case {
    const char* name;
    void (*fault)(fakes::FakePlatform&);
  } cases[] = {
      // Calls of WriteFile: the text file's is the only one (the dump writer has its own).
      {"WriteFile fails", [](fakes::FakePlatform& f) { f.faults.FailEveryCall("WriteFile"); }},
      {"WriteFile writes 5 bytes", [](fakes::FakePlatform& f) { f.short_write = 5; }},
      // The dump's are the first.
      {"the text file's CreateFileW fails",
       [](fakes::FakePlatform& f) { f.faults.FailCall("CreateFileW", 2); }},
      {"the text file's flush fails",
       [](fakes::FakePlatform& f) { f.faults.FailCall("FlushFileBuffers", 2); }},
      {"the text file's rename fails",
       [](fakes::FakePlatform& f) { f.faults.FailCall("MoveFileExW", 2); }},
  };
  for (const Case& c : cases) {
    for (const bool older : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (older ? ", older report" : ""));
      CrashedClient t;
      c.fault(t.fake);
      t.fake.folders.insert(u"D:\\Game\\Crash");
      if (older) t.fake.AddFile(kTextPath, "older report");
      EXPECT_TRUE(t.RunCapture());
      EXPECT_TRUE(t.fake.Exists(kDumpPath));
      EXPECT_EQ(t.fake.FilesIn(u"D:\\Game\\Crash"), older ? kDumpAndText : Files{kDumpAndText[0]});
      if (older) {
        EXPECT_EQ(t.fake.Content(kTextPath), "older report");
      }
      EXPECT_EQ(t.fake.starts.size(), 1u);
      t.ExpectHandlesBalanced();
    }
  }
}

TEST(ReportTextFile, TakesTheDumpPathWithTxtForItsExtension) {
  fakes::FakePlatform fake;
  fake.folders.insert(u"C:\\Game\\Crash");
  const char report[] = "crash.schema=2\r\n";
  EXPECT_TRUE(capture::WriteReportTextFile(
      fake.Ports(), u"C:\\Game\\Crash\\Client_10.2.0.7_2026-03-01_21-14-05_ENEU.dmp", report, 16));
  EXPECT_EQ(fake.Content(u"C:\\Game\\Crash\\Client_10.2.0.7_2026-03-01_21-14-05_ENEU.txt"),
            "crash.schema=2\r\n");

  // A path without any dot has no extension to replace.
  EXPECT_FALSE(capture::WriteReportTextFile(fake.Ports(), u"C:\\Game\\Crash\\Client", report, 16));
  // A short write is no report.
  fake.short_write = 5;
  EXPECT_FALSE(capture::WriteReportTextFile(fake.Ports(), u"C:\\Game\\Crash\\b.dmp", report, 16));
  EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST(ReportTextFile, GivesUpWhenTheNewNameDoesNotFit) {
  fakes::FakePlatform fake;
  // 259 units ending in ".d": ".txt" in place of ".d" would need 261 units and more.
  const std::u16string path = u"D:\\" + std::u16string(254, u'a') + u".d";
  EXPECT_FALSE(capture::WriteReportTextFile(fake.Ports(), path.c_str(), "r", 1));
  EXPECT_TRUE(fake.files.empty());
}

// The temporary form to the unit: what a dump name of the crash folder's pattern can be,
// with ".tmp" after ".dmp" or ".txt", and nothing that merely looks like one.
TEST(TemporaryName, RecognisesExactlyTheCapturesOwnForm) {
  for (const char16_t* name :
       {u"Client_10.2.0.7_2026-03-01_21-14-05_ENEU.dmp.tmp", u"Client_10.2.0.7_2026-03-01_21-14-05_ENEU.txt.tmp",
        u"Client_Dev_65535.0.0.0_65535-65535-01_00-00-00_a_b__X.dmp.tmp",
        u"Client_1.2.3.4_2026-03-01_21-14-05_.._.._x_y_z_ \u00fc_DE.txt.tmp"}) {
    EXPECT_TRUE(capture::IsCaptureTemporaryName(name)) << std::u16string(name).size();
  }
  for (const char16_t* name :
       {u"Client_10.2.0.7_2026-03-01_21-14-05_ENEU.dmp", u"Client_10.2.0.7_2026-03-01_21-14-05_ENEU.tmp",
        u"client_10.2.0.7_2026-03-01_21-14-05_ENEU.dmp.tmp", u"Client_10.2.0_2026-03-01_21-14-05_ENEU.dmp.tmp",
        u"Client_10.2.0.765432_2026-03-01_21-14-05_ENEU.dmp.tmp", u"Client_10.2.0.7_26-03-01_21-14-05_ENEU.dmp.tmp",
        u"Client_10.2.0.7_2026-3-01_21-14-05_ENEU.dmp.tmp", u"Client_10.2.0.7_2026-03-01_21-14-05_eneu.dmp.tmp",
        u"Client_10.2.0.7_2026-03-01_21-14-05__ENEU.dmp.tmp", u"Client_10.2.0.7_2026-03-01_21-14-05ENEU.dmp.tmp",
        u"Client_10.2.0.7_2026-03-01_21-14-05_.dmp.tmp", u"Client_10.2.0.7_2026-03-01_21-14-05_a:b_DE.dmp.tmp",
        u"Client_10.2.0.7_2026-03-01_21-14-05_0123456789ABCDEF0123456789ABCDEF.dmp.tmp",
        u"Client_Dev_Dev_10.2.0.7_2026-03-01_21-14-05_DE.dmp.tmp", u"Client.tmp", u""}) {
    EXPECT_FALSE(capture::IsCaptureTemporaryName(name)) << std::u16string(name).size();
  }
  EXPECT_FALSE(capture::IsCaptureTemporaryName(nullptr));
}

TEST(FaultModule, TakesTheFirstModuleWhoseRangeHoldsTheAddress) {
  fakes::FakePlatform fake;
  fake.modules = {{0x1000, 0x1000, u"a.dll"},
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
    capture::FindFaultModule(fake.Ports(), 1, p.address, name, 260);
    EXPECT_EQ(std::u16string(name), p.expected) << std::hex << p.address;
  }
  EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST(FaultModule, AModuleAtTheTopOfTheAddressSpaceDoesNotWrapAround) {
  fakes::FakePlatform fake;
  fake.modules = {{0xFFFFFFFFFFFF0000, 0x10000, u"top.dll"}, {0x1000, 0x1000, u"low.dll"}};
  char16_t name[260] = {};
  capture::FindFaultModule(fake.Ports(), 1, 0x10, name, 260);
  EXPECT_EQ(std::u16string(name), u"");
  capture::FindFaultModule(fake.Ports(), 1, 0xFFFFFFFFFFFFFFFF, name, 260);
  EXPECT_EQ(std::u16string(name), u"top.dll");
}

TEST(FaultModule, EmptyWhenNoModuleCanBeListed) {
  fakes::FakePlatform fake;
  fake.modules = {{0x1000, 0x1000, u"a.dll"}};
  char16_t name[260] = u"stale";
  fake.faults.FailEveryCall("Module32FirstW");
  capture::FindFaultModule(fake.Ports(), 1, 0x1000, name, 260);
  EXPECT_EQ(std::u16string(name), u"");
  EXPECT_EQ(fake.OpenHandles(), 0);

  std::memcpy(name, u"stale", sizeof(u"stale"));
  fake.faults.FailEveryCall("CreateToolhelp32Snapshot");
  capture::FindFaultModule(fake.Ports(), 1, 0x1000, name, 260);
  EXPECT_EQ(std::u16string(name), u"");
}

// WER also calls for reports of a process that goes on running, with bIsFatal FALSE; the
// flag means something only where dwSize covers it and Windows fills it (build 19041 on).
TEST(FatalFlag, DeclinesOnlyWhatTheStructureAndTheWindowsSayIsNoCrash) {
  struct Case {
    const char* name;
    std::uint32_t size;
    bool fatal;
    std::uint32_t build;  // 0: RtlGetVersion fails
    bool captured;
  } cases[] = {
      {"current structure, fatal", 1424, true, 19045, true},
      {"current structure, not fatal", 1424, false, 19045, false},
      {"not fatal on the first build that fills the flag", 1420, false, 19041, false},
      {"padding before 2004 reads FALSE", 1424, false, 18362, true},
      {"no build to be had", 1424, false, 0, true},
      {"structure ends before the flag", 1416, false, 19045, true},
      {"structure ends with the context", 1408, false, 19045, true},
      {"structure ends inside the context", 1407, true, 19045, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CrashedClient t;
    t.info.size = c.size;
    t.info.fatal = c.fatal;
    t.fake.windows_build = c.build;
    if (c.build == 0) t.fake.faults.FailEveryCall("RtlGetVersion");
    EXPECT_EQ(t.RunCapture(), c.captured);
    if (!c.captured) {
      t.ExpectNothingWritten();
      EXPECT_TRUE(t.fake.folder_requests.empty());
    }
    t.ExpectHandlesBalanced();
  }
}

// Process id 0 names the WER host itself to the dump writer and the snapshot: declined
// before the crash folder is made.
TEST_F(CaptureTest, WithoutAProcessIdNothingIsCaptured) {
  fake.faults.FailEveryCall("GetProcessId");
  EXPECT_FALSE(RunCapture());
  EXPECT_TRUE(fake.folder_requests.empty());
  EXPECT_TRUE(fake.dump_requests.empty());
  EXPECT_EQ(fake.faults.Calls("CreateToolhelp32Snapshot"), 0);
  ExpectNothingWritten();
  ExpectHandlesBalanced();
}

TEST(FaultModule, ASnapshotRefusedWhileTheLoaderIsBusyIsTakenAgainAFewTimes) {
  struct Case {
    int bad_lengths;
    const char16_t* found;
    int snapshots;
  } cases[] = {{2, u"a.dll", 3}, {100, u"", capture::kSnapshotAttempts}};
  for (const Case& c : cases) {
    fakes::FakePlatform fake;
    fake.modules = {{0x1000, 0x1000, u"a.dll"}};
    fake.snapshot_bad_lengths = c.bad_lengths;
    char16_t name[260] = u"stale";
    capture::FindFaultModule(fake.Ports(), 1, 0x1000, name, 260);
    EXPECT_EQ(std::u16string(name), c.found);
    EXPECT_EQ(fake.faults.Calls("CreateToolhelp32Snapshot"), c.snapshots);
    EXPECT_EQ(fake.slept_ms, (c.snapshots - 1) * capture::kSnapshotRetryPauseMs);
    EXPECT_EQ(fake.OpenHandles(), 0);
  }
  // Any other error ends it at once.
  fakes::FakePlatform fake;
  fake.faults.FailEveryCall("CreateToolhelp32Snapshot");
  char16_t name[260] = {};
  capture::FindFaultModule(fake.Ports(), 1, 0x1000, name, 260);
  EXPECT_EQ(fake.faults.Calls("CreateToolhelp32Snapshot"), 1);
  EXPECT_EQ(fake.sleeps, 0);
}

// A virus scanner holds the fresh .tmp for a moment: the commit waits for it, for a
// sharing violation or "access denied" only, one second at most.
TEST(BusyFile, TheCommitWaitsForAScannerThatLetsGo) {
  for (const std::uint32_t error : {capture::kErrorSharingViolation, capture::kErrorAccessDenied}) {
    SCOPED_TRACE(error);
    CrashedClient t;
    t.fake.scanner_busy_ms = 100;
    t.fake.scanner_error = error;
    EXPECT_TRUE(t.RunCapture());
    EXPECT_EQ(t.fake.FilesIn(u"D:\\Game\\Crash"), kDumpAndText);
    EXPECT_GE(t.fake.slept_ms, 100u);
    EXPECT_EQ(t.fake.starts.size(), 1u);
  }
}

// The rename and the delete after it have a second each: a scanner that holds the .tmp
// for 1.5 s outlasts the rename, and the delete still removes the file.
TEST(BusyFile, TheDeleteAfterAFailedRenameHasABudgetOfItsOwn) {
  CrashedClient t;
  t.fake.scanner_busy_ms = 1500;
  EXPECT_FALSE(t.RunCapture());
  EXPECT_EQ(t.fake.faults.Calls("MoveFileExW"), 8);
  EXPECT_TRUE(t.fake.FilesIn(u"D:\\Game\\Crash").empty());
  EXPECT_LE(t.fake.slept_ms, 2 * capture::kBusyFileBudgetMs);
  EXPECT_TRUE(t.fake.starts.empty());
  t.ExpectHandlesBalanced();
}

// A scanner that never lets go costs two seconds and leaves the .tmp; the first capture
// more than ten minutes later removes it, one within ten minutes leaves it be.
TEST(BusyFile, ATemporaryFileHeldForGoodGoesWithALaterCapture) {
  CrashedClient t;
  t.fake.scanner_busy_ms = 60000;
  EXPECT_FALSE(t.RunCapture());
  EXPECT_EQ(t.fake.slept_ms, 2 * capture::kBusyFileBudgetMs);
  EXPECT_EQ(t.fake.FilesIn(u"D:\\Game\\Crash"), Files{u"Client_10.2.0.7_2026-03-01_21-14-05_ENEU.dmp.tmp"});
  EXPECT_TRUE(t.fake.starts.empty());
  t.ExpectHandlesBalanced();

  t.fake.scanner_busy_ms = 0;
  t.fake.utc = {2026, 3, 1, 20, 24, 5};  // ten minutes on: not yet
  ASSERT_TRUE(t.RunCapture());
  EXPECT_EQ(t.fake.FilesIn(u"D:\\Game\\Crash").size(), 3u);
  t.fake.utc = {2026, 3, 1, 20, 24, 6};
  ASSERT_TRUE(t.RunCapture());
  EXPECT_EQ(t.fake.FilesIn(u"D:\\Game\\Crash"),
            (Files{u"Client_10.2.0.7_2026-03-01_21-24-05_ENEU.dmp",
                   u"Client_10.2.0.7_2026-03-01_21-24-05_ENEU.txt",
                   u"Client_10.2.0.7_2026-03-01_21-24-06_ENEU.dmp",
                   u"Client_10.2.0.7_2026-03-01_21-24-06_ENEU.txt"}));
}

TEST(BusyFile, TheTemporaryFileOfAFailedDumpGoesOnceTheScannerLetsGo) {
  CrashedClient t;
  t.fake.faults.FailEveryCall("MiniDumpWriteDump");
  t.fake.scanner_busy_ms = 50;
  EXPECT_FALSE(t.RunCapture());
  EXPECT_TRUE(t.fake.FilesIn(u"D:\\Game\\Crash").empty());
}

TEST(BusyFile, OtherFailuresAreNotRetried) {
  CrashedClient t;
  t.fake.faults.FailEveryCall("MoveFileExW");
  EXPECT_FALSE(t.RunCapture());
  EXPECT_EQ(t.fake.faults.Calls("MoveFileExW"), 1);
  EXPECT_EQ(t.fake.sleeps, 0);
  EXPECT_TRUE(t.fake.FilesIn(u"D:\\Game\\Crash").empty());
}

// The loader knows LOAD_LIBRARY_SEARCH_SYSTEM32 where kernel32 exports AddDllDirectory;
// elsewhere (Windows 7 without KB2533623, whatever error its loader would give for the
// flag) the system folder is named in full, and without it nothing is loaded, never a
// bare name.
TEST(SystemLibrary, TheSearchFlagOnlyWhereKernel32ExportsAddDllDirectory) {
  for (const bool known : {true, false}) {
    SCOPED_TRACE(known);
    CrashedClient t;
    t.fake.search_flags_known = known;
    EXPECT_TRUE(t.RunCapture());
    const std::vector<std::u16string> loads =
        known ? std::vector<std::u16string>{u"version.dll", u"advapi32.dll", u"dbghelp.dll"}
              : std::vector<std::u16string>{u"C:\\Windows\\system32\\version.dll",
                                            u"C:\\Windows\\system32\\advapi32.dll",
                                            u"C:\\Windows\\system32\\dbghelp.dll"};
    EXPECT_EQ(t.fake.library_loads, loads);
    t.ExpectHandlesBalanced();
  }
  for (const char* failing : {"GetSystemDirectoryW", "LoadLibraryExW"}) {
    SCOPED_TRACE(failing);
    CrashedClient t;
    t.fake.search_flags_known = false;
    t.fake.faults.FailEveryCall(failing);
    EXPECT_FALSE(t.RunCapture());
    EXPECT_EQ(t.fake.library_loads.size(), std::string(failing) == "LoadLibraryExW" ? 1u : 0u);
    t.ExpectHandlesBalanced();
  }
}

}  // namespace
