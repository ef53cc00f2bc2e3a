// Fault injection over every platform call of a capture. A clean run counts how often the
// capture calls each primitive; then, for every primitive and every k up to its count, one
// run makes exactly the k-th call of that primitive fail and checks what the capture left:
// the export's answer and claim, the crash folder, the notifier and every handle. Every
// primitive of the fake asks its one fault injector, so whatever the capture calls is in
// the sweep, a primitive added later included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "capture/context_block.h"
#include "capture/exception_event.h"
#include "capture/modules.h"
#include "capture_fixture.h"

namespace {

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

// The crashed client of the capture tests, in one of a few set-ups.
class FaultRun : public capture_test::CrashedClient {
 public:
  // kNoEventBuffer: the block is readable and WER passes no event name buffer, so a
  // committed dump answers 0x8007007A unclaimed. kOlderWindowsBusy takes every retry and
  // fallback: Windows 7 without the search flag (full-path loads), bIsFatal's bytes FALSE
  // (the build is asked), a loader that refuses the first snapshot, a scanner that holds
  // files for 30 ms (the rename is retried) and a crash folder that holds temporary files
  // of earlier captures, a stale one that goes and a fresh one that stays, beside a stale
  // file of another name (the folder is listed and a file deleted).
  enum class Setup { kBlockReadable, kNoBlockSettingsFile, kNoEventBuffer, kOlderWindowsBusy };

  static const char* Name(Setup setup) {
    switch (setup) {
      case Setup::kBlockReadable: return "block readable";
      case Setup::kNoBlockSettingsFile: return "no block, settings file";
      case Setup::kNoEventBuffer: return "block readable, no event name buffer";
      case Setup::kOlderWindowsBusy: return "older Windows, busy loader and scanner";
    }
    return "";
  }

  explicit FaultRun(Setup setup)
      : event_buffer_(setup != Setup::kNoEventBuffer), planted_(setup == Setup::kOlderWindowsBusy) {
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
      fake.memory.assign(bytes, bytes + sizeof(block));
    } else {
      fake.ini[u"D:\\Game\\Vostrel.ini"][u"Locale/Language"] = u"fr";
    }
    if (setup == Setup::kOlderWindowsBusy) {
      info.fatal = false;
      fake.windows_build = 7601;
      fake.search_flags_known = false;
      fake.snapshot_bad_lengths = 1;
      fake.scanner_busy_ms = 30;
      fake.folders.insert(u"D:\\Game\\Crash");
      fake.AddAgedFile(kStaleTemporary, 3600);
      fake.AddAgedFile(kFreshTemporary, 60);
      fake.AddAgedFile(kOtherFile, 3600);
    }
  }

  // Left by earlier captures: a stale temporary file, one of a capture that may still be
  // running, and a file of another name.
  static constexpr char16_t kStaleTemporary[] =
      u"D:\\Game\\Crash\\Client_10.2.0.7_2026-02-01_10-00-00_DE.dmp.tmp";
  static constexpr char16_t kFreshTemporary[] =
      u"D:\\Game\\Crash\\Client_10.2.0.7_2026-03-01_21-13-05_nightly_DE.txt.tmp";
  static constexpr char16_t kOtherFile[] = u"D:\\Game\\Crash\\notes.tmp";

  // The export's decision logic and the capture.
  void Run() {
    char16_t event_name[64] = u"untouched";
    size = 64;
    claimed = 7;
    signatures = 7;
    hr = capture::OnExceptionEvent(fake.Ports(), &info, 0x10000, &claimed,
                                   event_buffer_ ? event_name : nullptr, &size, &signatures);
  }

  bool Injected() const { return Seen("fault"); }
  bool Committed() const { return Seen("rename"); }

  // What must hold after every run, whatever failed. Returns the number of violations.
  int Check(const std::string& what) {
    const int before = FailureCount();
    SCOPED_TRACE(what);
    bool committed = false;
    bool fault_after_commit = false;
    for (const std::string& event : fake.faults.events()) {
      if (event == "rename") committed = true;
      if (event == "fault" && committed) fault_after_commit = true;
      if (event == "start") {
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
    for (const auto& [path, content] : fake.files) {
      const bool earlier = path == kStaleTemporary || path == kFreshTemporary || path == kOtherFile;
      EXPECT_TRUE(!EndsWith(path, u".tmp") || earlier) << "temporary file left: " << Narrow(path);
      if (EndsWith(path, u".dmp")) {
        dmp.push_back(path);
        EXPECT_EQ(content.rfind(fakes::FakePlatform::kDumpHeader, 0), 0u)
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
      EXPECT_TRUE(fake.starts.empty());
    }
    // Only a stale temporary file of the capture's own form is ever deleted.
    if (planted_) {
      EXPECT_TRUE(fake.Exists(kFreshTemporary) && fake.Exists(kOtherFile))
          << "a fresh temporary file or a file of another name was deleted";
    }
    // Retries stay within their bounds: a second for each rename and delete (the dump's
    // rename, then the report's rename and delete), a few pauses per snapshot.
    EXPECT_LE(fake.slept_ms, 3 * capture::kBusyFileBudgetMs + 2 * (capture::kSnapshotAttempts - 1) *
                                                                capture::kSnapshotRetryPauseMs);

    // Every handle the capture opened is closed.
    ExpectHandlesBalanced();
    // Only the crash folder may be created; nothing else outside it.
    for (const auto& [path, content] : fake.files) {
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
  bool Seen(const std::string& event) const {
    const std::vector<std::string>& events = fake.faults.events();
    return std::find(events.begin(), events.end(), event) != events.end();
  }

  bool event_buffer_;
  bool planted_;
};

TEST(FaultInjection, EveryCallOfEveryPrimitiveFailsInTurnWithoutHarm) {
  int injected = 0;
  int runs_committed = 0;
  int runs_declined = 0;
  std::set<std::string> primitives;
  int setups = 0;
  for (const auto setup : {FaultRun::Setup::kBlockReadable, FaultRun::Setup::kNoBlockSettingsFile,
                           FaultRun::Setup::kNoEventBuffer, FaultRun::Setup::kOlderWindowsBusy}) {
    ++setups;
    std::map<std::string, int> calls;
    {
      FaultRun clean(setup);
      clean.Run();
      ASSERT_TRUE(clean.Committed()) << "the clean run must commit";
      ASSERT_EQ(clean.Check("clean run"), 0);
      ASSERT_EQ(clean.fake.starts.size(), 1u);
      ASSERT_FALSE(clean.fake.Exists(FaultRun::kStaleTemporary)) << "the clean run removes it";
      calls = clean.fake.faults.calls();
    }
    for (const auto& [primitive, count] : calls) primitives.insert(primitive);
    std::printf("[ faults   ] calls of a clean run (%s):", FaultRun::Name(setup));
    for (const auto& [primitive, count] : calls) std::printf(" %s %d", primitive.c_str(), count);
    std::printf("\n");
    for (const auto& [primitive, count] : calls) {
      for (int k = 1; k <= count; ++k) {
        FaultRun run(setup);
        run.fake.faults.FailCall(primitive, k);
        run.Run();
        ASSERT_TRUE(run.Injected()) << primitive << " call " << k;
        ++injected;
        (run.Committed() ? runs_committed : runs_declined)++;
        if (run.Check(primitive + " fails on call " + std::to_string(k)) != 0) {
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
