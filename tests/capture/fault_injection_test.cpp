// Fault injection over every platform call of a capture. A clean run counts how often the
// capture calls each primitive; then, for every primitive and every k up to its count, one
// run makes exactly the k-th call of that primitive fail and checks what the capture left:
// the export's answer and claim, the crash folder, the notifier and every handle.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "capture/context_block.h"
#include "capture/exception_event.h"
#include "capture_fixture.h"

namespace {

using capture::Handle;

// Counts the calls of every primitive, fails the chosen call, and logs successful
// commits and notifier starts in the order they happen.
struct Injector {
  std::string target;  // primitive to fail; empty for a clean run
  int on_call = 0;
  bool injected = false;
  std::map<std::string, int> calls;
  std::vector<std::string> events;

  bool Fails(const char* primitive) {
    const int n = ++calls[primitive];
    if (target == primitive && n == on_call) {
      injected = true;
      events.push_back("fault");
      return true;
    }
    return false;
  }
};

class FaultyProcess final : public capture::ProcessPort {
 public:
  FaultyProcess(capture::ProcessPort& inner, Injector& faults) : inner_(inner), faults_(faults) {}
  bool ImagePath(Handle p, char16_t* buffer, std::size_t capacity) override {
    return !faults_.Fails("QueryFullProcessImageNameW") && inner_.ImagePath(p, buffer, capacity);
  }
  bool ReadMemory(Handle p, std::uint64_t address, void* dest, std::size_t size,
                  std::size_t* bytes_read) override {
    if (faults_.Fails("ReadProcessMemory")) {
      *bytes_read = 0;
      return false;
    }
    return inner_.ReadMemory(p, address, dest, size, bytes_read);
  }
  std::uint32_t ProcessId(Handle p) override {
    return faults_.Fails("GetProcessId") ? 0 : inner_.ProcessId(p);
  }
  std::uint32_t ThreadId(Handle t) override {
    return faults_.Fails("GetThreadId") ? 0 : inner_.ThreadId(t);
  }

 private:
  capture::ProcessPort& inner_;
  Injector& faults_;
};

class FaultyModules final : public capture::ModulePort {
 public:
  FaultyModules(capture::ModulePort& inner, Injector& faults) : inner_(inner), faults_(faults) {}
  Handle OpenSnapshot(std::uint32_t pid) override {
    return faults_.Fails("CreateToolhelp32Snapshot") ? capture::InvalidHandle()
                                                     : inner_.OpenSnapshot(pid);
  }
  bool FirstModule(Handle s, capture::ModuleEntry* e) override {
    return !faults_.Fails("Module32FirstW") && inner_.FirstModule(s, e);
  }
  bool NextModule(Handle s, capture::ModuleEntry* e) override {
    return !faults_.Fails("Module32NextW") && inner_.NextModule(s, e);
  }
  void CloseSnapshot(Handle s) override { inner_.CloseSnapshot(s); }

 private:
  capture::ModulePort& inner_;
  Injector& faults_;
};

class FaultyVersion final : public capture::VersionPort {
 public:
  FaultyVersion(capture::VersionPort& inner, Injector& faults) : inner_(inner), faults_(faults) {}
  std::uint32_t VersionInfoSize(const char16_t* path) override {
    return faults_.Fails("GetFileVersionInfoSizeW") ? 0 : inner_.VersionInfoSize(path);
  }
  void* AllocateBlock(std::uint32_t size) override {
    return faults_.Fails("HeapAlloc") ? nullptr : inner_.AllocateBlock(size);
  }
  void FreeBlock(void* block) override { inner_.FreeBlock(block); }
  bool VersionInfo(const char16_t* path, std::uint32_t size, void* block) override {
    return !faults_.Fails("GetFileVersionInfoW") && inner_.VersionInfo(path, size, block);
  }
  bool FixedFileVersion(const void* block, std::uint32_t* ms, std::uint32_t* ls) override {
    return !faults_.Fails("VerQueryValueW") && inner_.FixedFileVersion(block, ms, ls);
  }

 private:
  capture::VersionPort& inner_;
  Injector& faults_;
};

// GetPrivateProfileStringW reports no failure; what a failing read looks like to its
// caller is an empty value.
class FaultySettings final : public capture::SettingsPort {
 public:
  FaultySettings(capture::SettingsPort& inner, Injector& faults) : inner_(inner), faults_(faults) {}
  void ProfileString(const char16_t* section, const char16_t* key, const char16_t* def,
                     char16_t* buffer, std::size_t capacity, const char16_t* path) override {
    if (faults_.Fails("GetPrivateProfileStringW")) {
      if (capacity > 0) buffer[0] = u'\0';
      return;
    }
    inner_.ProfileString(section, key, def, buffer, capacity, path);
  }

 private:
  capture::SettingsPort& inner_;
  Injector& faults_;
};

class FaultyClock final : public capture::ClockPort {
 public:
  FaultyClock(capture::ClockPort& inner, Injector& faults) : inner_(inner), faults_(faults) {}
  capture::CalendarTime UtcNow() override { return inner_.UtcNow(); }
  bool ZoneLocalTime(const char16_t* zone, const capture::CalendarTime& utc,
                     capture::CalendarTime* local) override {
    return !faults_.Fails("GetTimeZoneInformationForYear") && inner_.ZoneLocalTime(zone, utc, local);
  }
  capture::CalendarTime LocalNow() override { return inner_.LocalNow(); }

 private:
  capture::ClockPort& inner_;
  Injector& faults_;
};

class FaultyFolders final : public capture::FolderPort {
 public:
  FaultyFolders(capture::FolderPort& inner, Injector& faults) : inner_(inner), faults_(faults) {}
  capture::FolderResult CreateFolder(const char16_t* path) override {
    return faults_.Fails("CreateDirectoryW") ? capture::FolderResult::kFailed
                                             : inner_.CreateFolder(path);
  }

 private:
  capture::FolderPort& inner_;
  Injector& faults_;
};

// Writes fail the hard way: part of the bytes land before the call reports failure.
class FaultyFiles final : public capture::FilePort {
 public:
  FaultyFiles(fakes::FakeFileSystem& inner, Injector& faults) : inner_(inner), faults_(faults) {}
  bool Delete(const char16_t* path) override {
    return !faults_.Fails("DeleteFileW") && inner_.Delete(path);
  }
  Handle CreateForWriting(const char16_t* path) override {
    return faults_.Fails("CreateFileW") ? capture::InvalidHandle() : inner_.CreateForWriting(path);
  }
  bool Write(Handle file, const void* data, std::uint32_t size, std::uint32_t* written) override {
    if (faults_.Fails("WriteFile")) {
      inner_.Write(file, data, size / 2, written);
      return false;
    }
    return inner_.Write(file, data, size, written);
  }
  bool Flush(Handle file) override { return !faults_.Fails("FlushFileBuffers") && inner_.Flush(file); }
  bool Size(Handle file, std::uint64_t* size) override {
    return !faults_.Fails("GetFileSizeEx") && inner_.Size(file, size);
  }
  void Close(Handle file) override { inner_.Close(file); }
  bool MoveReplacing(const char16_t* from, const char16_t* to) override {
    if (faults_.Fails("MoveFileExW") || !inner_.MoveReplacing(from, to)) return false;
    faults_.events.push_back("commit");
    return true;
  }
  capture::PathKind Kind(const char16_t* path) override {
    return faults_.Fails("GetFileAttributesW") ? capture::PathKind::kMissing : inner_.Kind(path);
  }

 private:
  fakes::FakeFileSystem& inner_;
  Injector& faults_;
};

// A writer that dies half-way: the header is in the file, the call reports failure.
class FaultyDumps final : public capture::DumpWriterPort {
 public:
  FaultyDumps(fakes::FakeFileSystem& files, capture::DumpWriterPort& inner, Injector& faults)
      : files_(files), inner_(inner), faults_(faults) {}
  bool WriteDump(const capture::DumpRequest& request) override {
    if (faults_.Fails("MiniDumpWriteDump")) {
      files_.AppendThrough(request.file, "MDMP-half");
      return false;
    }
    return inner_.WriteDump(request);
  }

 private:
  fakes::FakeFileSystem& files_;
  capture::DumpWriterPort& inner_;
  Injector& faults_;
};

class FaultyStarter final : public capture::ProcessStartPort {
 public:
  FaultyStarter(capture::ProcessStartPort& inner, Injector& faults) : inner_(inner), faults_(faults) {}
  bool Start(const char16_t* app, char16_t* command_line, const char16_t* dir,
             capture::StartedProcess* started) override {
    if (faults_.Fails("CreateProcessW") || !inner_.Start(app, command_line, dir, started)) {
      return false;
    }
    faults_.events.push_back("notifier");
    return true;
  }
  void CloseBoth(const capture::StartedProcess& started) override { inner_.CloseBoth(started); }

 private:
  capture::ProcessStartPort& inner_;
  Injector& faults_;
};

int FailureCount() {
  const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
  int failures = 0;
  for (int i = 0; i < result->total_part_count(); ++i) {
    if (result->GetTestPartResult(i).failed()) ++failures;
  }
  return failures;
}

bool EndsWith(const std::u16string& text, const std::u16string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// The crashed client of the capture tests, in one of a few set-ups, behind faulty ports.
class FaultRun : public capture_test::CaptureTest {
 public:
  // kNoEventBuffer: the block is readable and WER passes no event name buffer, so a
  // committed dump answers 0x8007007A unclaimed.
  enum class Setup { kBlockReadable, kNoBlockSettingsFile, kNoEventBuffer };

  static const char* Name(Setup setup) {
    switch (setup) {
      case Setup::kBlockReadable: return "block readable";
      case Setup::kNoBlockSettingsFile: return "no block, settings file";
      case Setup::kNoEventBuffer: return "block readable, no event name buffer";
    }
    return "";
  }

  explicit FaultRun(Setup setup) : event_buffer_(setup != Setup::kNoEventBuffer) {
    if (setup != Setup::kNoBlockSettingsFile) {
      CrashContextBlock block{};
      block.size = CRASH_CONTEXT_BLOCK_SIZE;
      block.version = CRASH_CONTEXT_BLOCK_VERSION;
      const char16_t tag[] = u"nightly";
      const char16_t language[] = u"DE";
      const char16_t text[] = u"scene=harbour";
      std::copy(std::begin(tag), std::end(tag), block.tag);
      std::copy(std::begin(language), std::end(language), block.language);
      std::copy(std::begin(text), std::end(text), block.reportText1);
      const auto* bytes = reinterpret_cast<const unsigned char*>(&block);
      process.memory.assign(bytes, bytes + sizeof(block));
    } else {
      settings.files[u"D:\\Game\\Vostrel.ini"][u"Locale/Language"] = u"fr";
    }
  }

  void TestBody() override {}

  // The export's decision logic and the capture, through the faulty ports.
  void Run(Injector& faults) {
    FaultyProcess p(process, faults);
    FaultyModules m(modules, faults);
    FaultyVersion v(version, faults);
    FaultySettings s(settings, faults);
    FaultyClock c(clock, faults);
    FaultyFolders d(fs, faults);
    FaultyFiles f(fs, faults);
    FaultyDumps w(fs, dumps, faults);
    FaultyStarter st(starter, faults);
    const capture::CapturePorts ports{{p, d, v, s, c}, m, f, w, st};
    char16_t event_name[64] = u"untouched";
    size = 64;
    claimed = 7;
    signatures = 7;
    hr = capture::OnExceptionEvent(ports, &info, 0x10000, &claimed,
                                   event_buffer_ ? event_name : nullptr, &size, &signatures);
  }

  static bool Committed(const Injector& faults) {
    for (const auto& event : faults.events) {
      if (event == "commit") return true;
    }
    return false;
  }

  // What must hold after every run, whatever failed. Returns the number of violations.
  int Check(const Injector& faults, const std::string& what) {
    const int before = FailureCount();
    SCOPED_TRACE(what);
    bool committed = false;
    bool fault_after_commit = false;
    for (std::size_t i = 0; i < faults.events.size(); ++i) {
      if (faults.events[i] == "commit") committed = true;
      if (faults.events[i] == "fault" && committed) fault_after_commit = true;
      if (faults.events[i] == "notifier") {
        EXPECT_TRUE(committed) << "the notifier was started before the dump was committed";
      }
    }
    // A failure leaves the crash to WER; a committed dump is claimed whatever fails later.
    EXPECT_EQ(signatures, 0u);
    if (event_buffer_) {
      EXPECT_EQ(hr, common::kOk);
      EXPECT_EQ(claimed, committed ? 1 : 0);
      if (fault_after_commit) {
        EXPECT_EQ(claimed, 1) << "a failure after the commit undid the claim";
      }
    } else {
      // Without a buffer for the event name nothing is claimed; WER learns the size only
      // when there is something to claim.
      EXPECT_EQ(hr, committed ? common::kInsufficientBuffer : common::kOk);
      EXPECT_EQ(claimed, 0);
      EXPECT_EQ(size, committed ? capture::kEventNameSize : 64u);
    }

    std::vector<std::u16string> dmp;
    std::vector<std::u16string> txt;
    for (const auto& [path, content] : fs.files) {
      EXPECT_FALSE(EndsWith(path, u".tmp")) << "temporary file left: " << Narrow(path);
      if (EndsWith(path, u".dmp")) {
        dmp.push_back(path);
        EXPECT_EQ(content.rfind(fakes::FakeDumpWriter::kHeader, 0), 0u)
            << "a .dmp that is not a whole dump: " << Narrow(path);
        EXPECT_TRUE(!content.empty() && content.back() == '\0')
            << "the dump's comment stream was cut: " << Narrow(path);
      }
      if (EndsWith(path, u".txt")) txt.push_back(path);
    }
    EXPECT_EQ(dmp.size(), committed ? 1u : 0u);
    EXPECT_LE(txt.size(), dmp.size());
    if (!txt.empty() && !dmp.empty()) {
      EXPECT_EQ(txt[0].substr(0, txt[0].size() - 4), dmp[0].substr(0, dmp[0].size() - 4))
          << "the report text file is not beside the dump";
    }
    if (!committed) {
      EXPECT_TRUE(starter.starts.empty());
    }

    // Every handle the capture opened is closed, the version block freed.
    ExpectHandlesBalanced();
    // Only the crash folder may be created; nothing else outside it.
    for (const auto& [path, content] : fs.files) {
      EXPECT_TRUE(path == capture_test::kNotifier || path.rfind(u"D:\\Game\\Crash\\", 0) == 0)
          << "unexpected file " << Narrow(path);
    }
    return FailureCount() - before;
  }

  common::HResult hr = 0;
  std::int32_t claimed = 0;
  std::uint32_t size = 0;
  std::uint32_t signatures = 0;

 private:
  bool event_buffer_;
};

TEST(FaultInjection, EveryCallOfEveryPrimitiveFailsInTurnWithoutHarm) {
  int injected = 0;
  int runs_committed = 0;
  int runs_declined = 0;
  std::set<std::string> primitives;
  int setups = 0;
  for (const auto setup : {FaultRun::Setup::kBlockReadable, FaultRun::Setup::kNoBlockSettingsFile,
                           FaultRun::Setup::kNoEventBuffer}) {
    ++setups;
    Injector clean;
    {
      FaultRun run(setup);
      run.Run(clean);
      ASSERT_TRUE(FaultRun::Committed(clean)) << "the clean run must commit";
      ASSERT_EQ(run.Check(clean, "clean run"), 0);
      ASSERT_EQ(run.starter.starts.size(), 1u);
    }
    for (const auto& [primitive, count] : clean.calls) primitives.insert(primitive);
    std::printf("[ faults   ] calls of a clean run (%s):", FaultRun::Name(setup));
    for (const auto& [primitive, count] : clean.calls) std::printf(" %s %d", primitive.c_str(), count);
    std::printf("\n");
    for (const auto& [primitive, count] : clean.calls) {
      for (int k = 1; k <= count; ++k) {
        FaultRun run(setup);
        Injector faults;
        faults.target = primitive;
        faults.on_call = k;
        run.Run(faults);
        ASSERT_TRUE(faults.injected) << primitive << " call " << k;
        ++injected;
        (FaultRun::Committed(faults) ? runs_committed : runs_declined)++;
        if (run.Check(faults, primitive + " fails on call " + std::to_string(k)) != 0) {
          ADD_FAILURE() << "violations with " << primitive << " failing on call " << k;
        }
      }
    }
  }
  std::printf("[ faults   ] %d faults injected over %d primitives in %d set-ups: %d runs still "
              "committed, %d declined cleanly\n",
              injected, static_cast<int>(primitives.size()), setups, runs_committed, runs_declined);
  ::testing::Test::RecordProperty("faults_injected", injected);
  EXPECT_GT(injected, 40);
}

}  // namespace
