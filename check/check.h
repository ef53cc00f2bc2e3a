// crash-check's verdicts and its record of one run: every check it made, every figure it
// measured, and how both are told (the console summary, the JSON report, the exit code).
// Portable: the Windows side only fills a Run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/civil_time.h"

namespace crashcheck {

// WARN is a finding that does not stop the capture on this machine (or that Wine cannot
// answer); only FAIL fails the run.
enum class Verdict { kPass, kWarn, kFail };

const char* VerdictName(Verdict verdict);  // "PASS", "WARN", "FAIL"

struct Check {
  std::string name;    // what was checked, a few words
  Verdict verdict = Verdict::kPass;
  std::string detail;  // what was found, with the reason when it is not a PASS
  std::string fix;     // what to do about a WARN or a FAIL; empty for a PASS
};

// 0x%08X, as exception codes and HRESULTs are written.
std::string Hex(std::uint32_t value);
// The parts with `separator` between them.
std::string Joined(const std::vector<std::string>& parts, std::string_view separator);

Check Pass(std::string name, std::string detail);
Check Warn(std::string name, std::string detail, std::string fix);
Check Fail(std::string name, std::string detail, std::string fix);

// One crash of the sample client through WER, and what was found of it.
struct CrashRecord {
  std::string label;  // e.g. "access violation in nvwgf2umx.dll"
  std::vector<Check> checks;
  std::string dump;    // the dump's path, UTF-8; empty when none was committed
  std::string report;  // the report text file's path, UTF-8; empty when none was written
  std::optional<std::uint64_t> dump_bytes;
  std::optional<double> crash_to_dump_ms;
  std::optional<double> crash_to_box_ms;
};

// One round of the measurement: the whole capture and a bare MiniDumpWriteDump of the
// same crashed process with the same dump type.
struct Round {
  double capture_ms = 0;
  double bare_ms = 0;
  std::uint64_t bare_bytes = 0;
};

struct Run {
  std::string machine;
  std::string started_utc;  // yyyy-mm-ddThh:mm:ssZ
  std::string windows;      // the build and edition, as the preflight found them
  std::string release;      // the release folder checked, UTF-8
  std::string work;         // the scratch folder under the user's temp folder, UTF-8
  int rounds = 0;
  std::vector<Check> preflight;
  std::vector<Check> registration;
  std::vector<Round> measured;
  std::vector<Check> measure;
  std::vector<CrashRecord> crashes;
  std::vector<Check> cleanup;
  std::string could_not_run;  // why the check could not run; empty when it ran
  bool kept = false;          // the dumps were kept (--keep)
  double poll_ms = 0;         // how often the crash folder and the windows were looked at
};

// 0 when every check passed (warnings allowed), 1 when one failed, 2 when the check
// could not run.
int ExitCode(const Run& run);

// The middle value (the mean of the two middle ones for an even count); null for none.
std::optional<double> Median(std::vector<double> values);

// crash-check-<machine>-<yyyy-mm-dd_hh-mm-ss>.json, the machine name cut down to ASCII
// letters, digits, '-' and '_' so that it makes a file name anywhere.
std::string ReportFileName(std::string_view machine, const common::CivilTime& local);

std::string ReportJson(const Run& run);
std::string ConsoleSummary(const Run& run, std::string_view report_path);

}  // namespace crashcheck
