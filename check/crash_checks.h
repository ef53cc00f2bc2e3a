// The crashes crash-check makes the sample client suffer, and the checks of what each
// must leave: the dump's name against the clock, the dump as crash-triage's reader finds
// it (exception, fault module, report stream, the dump type's streams), the report text
// file against the report stream, and the notifier's box text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check/check.h"
#include "triage/range_reader.h"

namespace crashcheck {

struct CrashPlan {
  const char* name;           // as --kinds names it
  const char* label;          // for people
  const char* crash_option;   // the sample client's option
  std::uint32_t code;         // the exception code the dump must hold
  const char* fault_module;   // the module the exception address must lie in
  bool box_names_module;      // the notifier has advice for that module
};

// The driver-named module's access violation, the client's own and a fail-fast.
const std::vector<CrashPlan>& CrashPlans();
// The plans of a comma-separated list of names, in the list's order; null when a name
// is unknown or the list is empty.
std::optional<std::vector<CrashPlan>> PlansNamed(std::string_view list);

// What the sample client puts into its crash context block, so that the name and the
// report show that the block was read: tag "check", language "de" (named "DE"), and a
// first report text naming the crash.
inline constexpr char kClientVersion[] = "10.2.0.7";
inline constexpr char kTag[] = "check";
inline constexpr char kLanguage[] = "DE";
// The sample client's options for one crash (UTF-8; the client reads \r\n escapes).
std::vector<std::string> ClientArguments(const CrashPlan& plan);

// The dump's file name: the capture's form, no development mark, the client's version,
// its tag and language, and a Central European time between `utc_before` (just before the
// client started) and `utc_after` (when the dump was seen), seconds since 1970.
Check CheckDumpName(std::string_view file_name, std::int64_t utc_before, std::int64_t utc_after);

// No dump was committed for the crash. `crash_folder` says what the crash folder holds
// instead; `client_exit` is the client's exit code once it has ended. Wine ends a
// fail-fast at once, with neither a debugger nor WER to hand it to: there that is a
// WARN, everywhere else a FAIL.
Check MissingDump(const CrashPlan& plan, const std::string& crash_folder,
                  const std::optional<std::uint32_t>& client_exit, bool under_wine);

// The stream types of a dump in directory order; null with the reason when the reader
// refuses it.
std::optional<std::vector<std::uint32_t>> StreamTypes(const triage::RangeReader& dump, std::string* why);

// Reads a committed dump with crash-triage's reader and checks it against the plan;
// `report_file` is the text file beside it (null when there is none); `bare_streams` the
// stream types that a bare MiniDumpWriteDump of the same dump type wrote on this
// machine (null when none could be written).
std::vector<Check> CheckDump(const triage::RangeReader& dump, const std::optional<std::string>& report_file,
                             const CrashPlan& plan,
                             const std::optional<std::vector<std::uint32_t>>& bare_streams);

// The text that Brisvane.exe must show for the plan's fault module.
std::u16string ExpectedBoxText(const CrashPlan& plan);
// The text read from the box against the expected one; null when no box appeared.
Check CheckBoxText(const std::optional<std::u16string>& text, const CrashPlan& plan);

}  // namespace crashcheck
