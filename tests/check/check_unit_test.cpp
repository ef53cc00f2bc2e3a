// crash-check's portable rules: the preflight's verdicts, the dump's name against the
// clock, a real capture's dump read back (a Wine dump of the sample client crashing in
// DeepTwo.dll, its report patched to carry the client's text), the box text, and what the
// run's record says (exit code, medians, report name, JSON).
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "check/check.h"
#include "check/crash_checks.h"
#include "check/preflight.h"
#include "triage/range_reader.h"

namespace crashcheck {
namespace {

// A Windows 10 machine with nothing in the way, and both files signed.
Probes CleanMachine() {
  Probes p;
  p.windows = {10, 0, 19045, 3693, "Windows 10 Pro", "22H2", ""};
  p.wer_disabled = {{"HKLM\\...\\Disabled", std::nullopt}, {"HKCU\\...\\Disabled", 0u}};
  p.wer_service_start = 3;
  p.signatures = {{"Calvorin.dll", Signature::State::kSigned, 0}, {"Brisvane.exe", Signature::State::kSigned, 0}};
  return p;
}

Verdict VerdictOf(const std::vector<Check>& checks, const std::string& name) {
  for (const Check& c : checks) {
    if (c.name == name) return c.verdict;
  }
  ADD_FAILURE() << "no check named " << name;
  return Verdict::kPass;
}

TEST(Preflight, EachFindingGetsItsVerdict) {
  for (const Check& c : Preflight(CleanMachine())) EXPECT_EQ(c.verdict, Verdict::kPass) << c.name << ": " << c.detail;

  struct Case {
    const char* what;
    std::function<void(Probes&)> change;
    const char* check;
    Verdict verdict;
  };
  const Case cases[] = {
      {"policy switches WER off", [](Probes& p) { p.wer_disabled.push_back({"HKLM\\Policies", 1u}); },
       "WER not disabled", Verdict::kFail},
      {"Client.exe excluded", [](Probes& p) { p.excluded_in = {"HKCU\\x"}; }, "Client.exe not excluded",
       Verdict::kFail},
      {"no WER service (Wine)", [](Probes& p) { p.wer_service_start.reset(); }, "WER service", Verdict::kWarn},
      {"WER service disabled", [](Probes& p) { p.wer_service_start = 4; }, "WER service", Verdict::kWarn},
      {"inherited SEM_NOGPFAULTERRORBOX", [](Probes& p) { p.process_error_mode = 0x8003; }, "error modes",
       Verdict::kWarn},
      {"thread error mode without it", [](Probes& p) { p.thread_error_mode = 0x0001; }, "error modes",
       Verdict::kPass},
      {"thread error mode with it", [](Probes& p) { p.thread_error_mode = 0x0002; }, "error modes", Verdict::kWarn},
      {"LocalDumps set", [](Probes& p) { p.local_dumps = {"HKLM\\LocalDumps"}; }, "LocalDumps", Verdict::kWarn},
      {"debugger starts by itself", [](Probes& p) { p.aedebug_debugger = "dbg"; p.aedebug_auto = true; },
       "just-in-time debugger", Verdict::kWarn},
      {"debugger only offered", [](Probes& p) { p.aedebug_debugger = "dbg"; }, "just-in-time debugger",
       Verdict::kPass},
      {"unsigned module", [](Probes& p) { p.signatures[0].state = Signature::State::kUnsigned; }, "signatures",
       Verdict::kWarn},
      {"signature broken", [](Probes& p) { p.signatures[1].state = Signature::State::kInvalid; }, "signatures",
       Verdict::kFail},
      {"Smart App Control on, unsigned",
       [](Probes& p) { p.smart_app_control = 1; p.signatures[0].state = Signature::State::kUnsigned; },
       "Smart App Control", Verdict::kWarn},
      {"Smart App Control on, signed", [](Probes& p) { p.smart_app_control = 1; }, "Smart App Control",
       Verdict::kPass},
      {"Smart App Control evaluating", [](Probes& p) { p.smart_app_control = 2; }, "Smart App Control",
       Verdict::kWarn},
      {"Windows 11 that hides its state", [](Probes& p) { p.windows.build = 22631; }, "Smart App Control",
       Verdict::kWarn},
      {"Wine", [](Probes& p) { p.windows.wine = "8.0"; }, "Windows build", Verdict::kWarn},
      {"Windows 8.1", [](Probes& p) { p.windows.major = 6; }, "Windows build", Verdict::kWarn},
  };
  for (const Case& c : cases) {
    Probes probes = CleanMachine();
    c.change(probes);
    EXPECT_EQ(VerdictOf(Preflight(probes), c.check), c.verdict) << c.what;
  }
}

TEST(DumpName, AgainstTheClock) {
  // 2026-12-08 06:41:05 UTC is 07:41:05 in Central European time; 2026-10-25 01:00 UTC
  // is when the clocks go back (03:00 CEST becomes 02:00 CET).
  const std::int64_t winter = 1796712065;
  const std::int64_t fall_back = 1792890000;
  struct Case {
    const char* name;
    std::int64_t before, after;
    Verdict verdict;
    const char* says;
  };
  const Case cases[] = {
      {"Client_10.2.0.7_2026-12-08_07-41-05_check_DE.dmp", winter - 1, winter + 1, Verdict::kPass, "between"},
      {"Client_10.2.0.7_2026-12-08_07-41-07_check_DE.dmp", winter - 1, winter + 1, Verdict::kPass, "between"},
      {"Client_10.2.0.7_2026-12-08_07-41-09_check_DE.dmp", winter - 1, winter + 1, Verdict::kFail, "07:41:09"},
      {"Client_10.2.0.7_2026-12-07_23-41-05_check_DE.dmp", winter, winter, Verdict::kFail, "-8 h off"},
      {"Client_10.2.0.7_2026-12-08_06-41-05_check_DE.dmp", winter, winter, Verdict::kFail, "-1 h off"},
      {"Client_10.2.0.7_2026-10-25_02-59-58_check_DE.dmp", fall_back - 3, fall_back + 1, Verdict::kPass, "between"},
      {"Client_Dev_10.2.0.7_2026-12-08_07-41-05_check_DE.dmp", winter, winter, Verdict::kFail, "development"},
      {"Client_10.2.0.7_2026-12-08_07-41-05_ENEU.dmp", winter, winter, Verdict::kFail, "tag check"},
      {"Client_10.1.0.0_2026-12-08_07-41-05_check_DE.dmp", winter, winter, Verdict::kFail, "version 10.2.0.7"},
      {"crash.dmp", winter, winter, Verdict::kFail, "not a name of the capture's form"},
  };
  for (const Case& c : cases) {
    const Check check = CheckDumpName(c.name, c.before, c.after);
    EXPECT_EQ(check.verdict, c.verdict) << c.name << ": " << check.detail;
    EXPECT_NE(check.detail.find(c.says), std::string::npos) << check.detail;
  }
}

class DumpRead : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ifstream file(CHECK_TEST_DUMP, std::ios::binary);
    bytes_.assign(std::istreambuf_iterator<char>(file), {});
    // The client's own text in place of the report's last module line, as the sample
    // client writes it for crash-check; the comment ends at the first NUL after it.
    const std::string line = "runtime.module.5=DeepTwo.dll\r\n";
    const std::string ours = "check.crash=driver\r\n";
    const std::size_t at = bytes_.find(line);
    ASSERT_NE(at, std::string::npos);
    bytes_.replace(at, line.size(), ours + std::string(line.size() - ours.size(), '\0'));
    report_ = bytes_.substr(bytes_.find("crash.schema="));
    report_ = report_.substr(0, report_.find('\0'));
  }

  std::vector<Check> Read(const CrashPlan& plan, const std::optional<std::string>& report_file,
                          const std::optional<std::vector<std::uint32_t>>& bare) const {
    const triage::MemoryRangeReader reader(
        {reinterpret_cast<const std::uint8_t*>(bytes_.data()), bytes_.size()});
    return CheckDump(reader, report_file, plan, bare);
  }

  // Wine's dbghelp writes no handle, unloaded-module, memory-info or thread-info stream.
  const std::vector<std::uint32_t> wine_bare_ = {7, 3, 4, 0xFFF0, 5, 15, 6, 0};
  const CrashPlan plan_ = {"driver", "in DeepTwo.dll", "", 0xC0000005, "deeptwo.DLL", true};
  std::string bytes_;
  std::string report_;
};

TEST_F(DumpRead, WhatTheReaderFindsAgainstThePlan) {
  auto checks = Read(plan_, report_, wine_bare_);
  EXPECT_EQ(VerdictOf(checks, "exception and fault module"), Verdict::kPass);
  EXPECT_EQ(VerdictOf(checks, "report stream"), Verdict::kPass);
  EXPECT_EQ(VerdictOf(checks, "report text file"), Verdict::kPass);
  EXPECT_EQ(VerdictOf(checks, "streams of the dump type"), Verdict::kWarn);  // missing from both

  CrashPlan elsewhere = plan_;
  elsewhere.fault_module = "Client.exe";
  checks = Read(elsewhere, report_, wine_bare_);
  EXPECT_EQ(VerdictOf(checks, "exception and fault module"), Verdict::kFail);
  EXPECT_EQ(VerdictOf(checks, "report stream"), Verdict::kFail);

  CrashPlan other_crash = plan_;
  other_crash.name = "client";
  EXPECT_EQ(VerdictOf(Read(other_crash, report_, wine_bare_), "report stream"), Verdict::kFail);

  std::string changed = report_;
  changed[40] = '#';
  for (const std::optional<std::string>& file : {std::optional<std::string>(changed),
                                                 std::optional<std::string>(report_ + "x"),
                                                 std::optional<std::string>()}) {
    EXPECT_EQ(VerdictOf(Read(plan_, file, wine_bare_), "report text file"), Verdict::kFail);
  }

  // A stream that the machine's own dump writer gives a bare dump must be in the capture's.
  std::vector<std::uint32_t> windows_bare = wine_bare_;
  windows_bare.push_back(17);
  EXPECT_EQ(VerdictOf(Read(plan_, report_, windows_bare), "streams of the dump type"), Verdict::kFail);
  EXPECT_EQ(VerdictOf(Read(plan_, report_, std::nullopt), "streams of the dump type"), Verdict::kFail);

  bytes_.resize(bytes_.size() / 2);  // cut short in transfer: its streams run past the end
  checks = Read(plan_, report_, wine_bare_);
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(VerdictOf(checks, "dump readable"), Verdict::kFail);
}

TEST(Crashes, BoxTextAndMissingDumps) {
  const CrashPlan& driver = CrashPlans()[0];
  const CrashPlan& client = CrashPlans()[1];
  const CrashPlan& fail_fast = CrashPlans()[2];
  EXPECT_EQ(CheckBoxText(ExpectedBoxText(driver), driver).verdict, Verdict::kPass);
  EXPECT_EQ(CheckBoxText(ExpectedBoxText(driver), client).verdict, Verdict::kFail);
  EXPECT_EQ(CheckBoxText(std::nullopt, client).verdict, Verdict::kFail);
  EXPECT_EQ(ExpectedBoxText(client).find(u"Detected"), std::u16string::npos);

  EXPECT_EQ(MissingDump(fail_fast, "nothing", 0xC0000409u, true).verdict, Verdict::kWarn);
  EXPECT_EQ(MissingDump(fail_fast, "nothing", 0xC0000409u, false).verdict, Verdict::kFail);
  EXPECT_EQ(MissingDump(driver, "nothing", 0xC0000005u, true).verdict, Verdict::kFail);

  ASSERT_TRUE(PlansNamed("fail-fast,driver"));
  EXPECT_EQ(PlansNamed("fail-fast,driver")->front().code, 0xC0000409u);
  EXPECT_FALSE(PlansNamed("driver,,client"));
  EXPECT_FALSE(PlansNamed(""));
}

TEST(Record, ExitCodeFiguresAndReport) {
  crashcheck::Run run;
  run.preflight = {Warn("a", "b", "c")};
  run.crashes = {{"one", {Pass("x", "y")}, "C:\\a.dmp", "", 100, 900.0, 1200.0},
                 {"two", {Pass("x", "y")}, "", "", std::nullopt, 700.0, std::nullopt}};
  run.measured = {{10, 4, 1}, {30, 5, 1}, {20, 6, 1}};
  EXPECT_EQ(ExitCode(run), 0);
  run.crashes[1].checks.push_back(Fail("z", "w", "v"));
  EXPECT_EQ(ExitCode(run), 1);
  run.could_not_run = "interrupted";
  EXPECT_EQ(ExitCode(run), 2);

  EXPECT_EQ(Median({}), std::nullopt);
  EXPECT_EQ(Median({3, 1, 2}), 2);
  EXPECT_EQ(Median({4, 1, 2, 3}), 2.5);

  EXPECT_EQ(ReportFileName("DESK TOP/ü-1", {2026, 3, 1, 21, 4, 5}),
            "crash-check-DESKTOP-1-2026-03-01_21-04-05.json");
  EXPECT_EQ(ReportFileName("", {2026, 3, 1, 21, 4, 5}), "crash-check-unknown-2026-03-01_21-04-05.json");

  const auto json = nlohmann::json::parse(ReportJson(run));
  EXPECT_EQ(json["result"], "could not run");
  EXPECT_EQ(json["exit_code"], 2);
  EXPECT_EQ(json["figures"]["crash_to_dump_ms"]["median"], 800.0);
  EXPECT_EQ(json["figures"]["crash_to_box_ms"]["values"].size(), 1u);
  EXPECT_EQ(json["figures"]["capture_ms"]["median"], 20.0);
  EXPECT_EQ(json["figures"]["capture_minus_bare_ms"]["median"], 14.0);
  EXPECT_TRUE(json["crashes"][1]["dump"].is_null());
  EXPECT_EQ(json["crashes"][1]["checks"][1]["fix"], "v");
  EXPECT_NE(ConsoleSummary(run, "r.json").find("COULD NOT RUN: interrupted"), std::string::npos);
}

}  // namespace
}  // namespace crashcheck
