#include "check/check.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "triage/json.h"
#include "triage/text.h"

namespace crashcheck {
namespace {

using triage::Json;
using triage::OrNull;

Json ChecksJson(const std::vector<Check>& checks) {
  Json out = Json::array();
  for (const Check& c : checks) {
    Json one = {{"name", c.name}, {"verdict", VerdictName(c.verdict)}, {"detail", c.detail}};
    if (!c.fix.empty()) one["fix"] = c.fix;
    out.push_back(std::move(one));
  }
  return out;
}

template <typename T>
Json Figure(const std::vector<T>& values) {
  std::vector<double> all(values.begin(), values.end());
  const std::optional<double> median = Median(all);
  return {{"median", OrNull(median)}, {"values", values}};
}

// Every figure of the run, each with its median and the values it was taken from.
struct Figures {
  std::vector<double> to_dump, to_box, capture, bare, difference;
  std::vector<std::uint64_t> dump_bytes, bare_bytes;
};

Figures Collect(const Run& run) {
  Figures f;
  for (const CrashRecord& crash : run.crashes) {
    if (crash.crash_to_dump_ms) f.to_dump.push_back(*crash.crash_to_dump_ms);
    if (crash.crash_to_box_ms) f.to_box.push_back(*crash.crash_to_box_ms);
    if (crash.dump_bytes) f.dump_bytes.push_back(*crash.dump_bytes);
  }
  for (const Round& round : run.measured) {
    f.capture.push_back(round.capture_ms);
    f.bare.push_back(round.bare_ms);
    f.difference.push_back(round.capture_ms - round.bare_ms);
    f.bare_bytes.push_back(round.bare_bytes);
  }
  return f;
}

std::string Thousands(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}

void Line(std::string* out, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  *out += text;
  *out += '\n';
}

void Section(std::string* out, const char* title, const std::vector<Check>& checks) {
  if (checks.empty()) return;
  Line(out, "%s", title);
  for (const Check& c : checks) {
    Line(out, "  %s  %s: %s", VerdictName(c.verdict), c.name.c_str(), c.detail.c_str());
    if (!c.fix.empty()) Line(out, "        fix: %s", c.fix.c_str());
  }
}

void Milliseconds(std::string* out, const char* what, const std::vector<double>& values) {
  const std::optional<double> median = Median(values);
  if (!median) {
    Line(out, "  %-30s not measured", what);
    return;
  }
  std::string all;
  for (double v : values) {
    char one[32];
    std::snprintf(one, sizeof(one), "%s%.1f", all.empty() ? "" : ", ", v);
    all += one;
  }
  Line(out, "  %-30s %9.1f ms   (%s)", what, *median, all.c_str());
}

void Bytes(std::string* out, const char* what, const std::vector<std::uint64_t>& values) {
  std::vector<double> all(values.begin(), values.end());
  const std::optional<double> median = Median(all);
  if (!median) {
    Line(out, "  %-30s not measured", what);
    return;
  }
  Line(out, "  %-30s %12s bytes", what, Thousands(static_cast<std::uint64_t>(*median)).c_str());
}

std::size_t Count(const Run& run, Verdict verdict) {
  std::size_t n = 0;
  auto add = [&](const std::vector<Check>& checks) {
    n += static_cast<std::size_t>(std::count_if(checks.begin(), checks.end(),
                                                [&](const Check& c) { return c.verdict == verdict; }));
  };
  add(run.preflight);
  add(run.registration);
  add(run.measure);
  for (const CrashRecord& crash : run.crashes) add(crash.checks);
  add(run.cleanup);
  return n;
}

}  // namespace

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kPass: return "PASS";
    case Verdict::kWarn: return "WARN";
    case Verdict::kFail: return "FAIL";
  }
  return "FAIL";
}

std::string Hex(std::uint32_t value) { return triage::Hex(value, 8); }

std::string Joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (const std::string& part : parts) {
    if (!out.empty()) out += separator;
    out += part;
  }
  return out;
}

Check Pass(std::string name, std::string detail) {
  return {std::move(name), Verdict::kPass, std::move(detail), {}};
}
Check Warn(std::string name, std::string detail, std::string fix) {
  return {std::move(name), Verdict::kWarn, std::move(detail), std::move(fix)};
}
Check Fail(std::string name, std::string detail, std::string fix) {
  return {std::move(name), Verdict::kFail, std::move(detail), std::move(fix)};
}

int ExitCode(const Run& run) {
  if (!run.could_not_run.empty()) return 2;
  return Count(run, Verdict::kFail) == 0 ? 0 : 1;
}

std::optional<double> Median(std::vector<double> values) {
  if (values.empty()) return std::nullopt;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string ReportFileName(std::string_view machine, const common::CivilTime& local) {
  std::string name;
  for (char c : machine) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
    if (keep) name += c;
  }
  if (name.empty()) name = "unknown";
  char stamp[64];
  std::snprintf(stamp, sizeof(stamp), "%04lld-%02u-%02u_%02u-%02u-%02u",
                static_cast<long long>(local.year), local.month, local.day, local.hour,
                local.minute, local.second);
  return "crash-check-" + name + "-" + stamp + ".json";
}

std::string ReportJson(const Run& run) {
  const int code = ExitCode(run);
  Json out = {{"tool", "crash-check"},
              {"format", 1},
              {"machine", run.machine},
              {"started_utc", run.started_utc},
              {"windows", run.windows},
              {"release", run.release},
              {"work", run.work},
              {"result", code == 0 ? "pass" : code == 1 ? "fail" : "could not run"},
              {"exit_code", code}};
  if (!run.could_not_run.empty()) out["could_not_run"] = run.could_not_run;
  out["preflight"] = ChecksJson(run.preflight);
  out["registration"] = ChecksJson(run.registration);
  out["measure"] = ChecksJson(run.measure);
  Json crashes = Json::array();
  for (const CrashRecord& crash : run.crashes) {
    Json one = {{"label", crash.label}, {"checks", ChecksJson(crash.checks)}};
    one["dump"] = crash.dump.empty() ? Json(nullptr) : Json(crash.dump);
    one["report"] = crash.report.empty() ? Json(nullptr) : Json(crash.report);
    one["dump_bytes"] = OrNull(crash.dump_bytes);
    one["crash_to_dump_ms"] = OrNull(crash.crash_to_dump_ms);
    one["crash_to_box_ms"] = OrNull(crash.crash_to_box_ms);
    crashes.push_back(std::move(one));
  }
  out["crashes"] = std::move(crashes);
  out["dumps_kept"] = run.kept;
  out["cleanup"] = ChecksJson(run.cleanup);
  const Figures f = Collect(run);
  out["figures"] = {{"rounds", run.rounds},
                    {"poll_ms", run.poll_ms},
                    {"crash_to_dump_ms", Figure(f.to_dump)},
                    {"crash_to_box_ms", Figure(f.to_box)},
                    {"dump_bytes", Figure(f.dump_bytes)},
                    {"capture_ms", Figure(f.capture)},
                    {"bare_dump_ms", Figure(f.bare)},
                    {"capture_minus_bare_ms", Figure(f.difference)},
                    {"bare_dump_bytes", Figure(f.bare_bytes)}};
  return out.dump(2) + "\n";
}

std::string ConsoleSummary(const Run& run, std::string_view report_path) {
  std::string out;
  Line(&out, "crash-check on %s: %s", run.machine.c_str(), run.windows.c_str());
  Line(&out, "release folder: %s", run.release.c_str());
  Line(&out, "%s", "");
  Section(&out, "Preflight", run.preflight);
  Section(&out, "Registration", run.registration);
  Section(&out, "Measurement (the module called for a crash, against a bare MiniDumpWriteDump)",
          run.measure);
  for (std::size_t i = 0; i < run.crashes.size(); ++i) {
    const std::string title = "Crash " + std::to_string(i + 1) + ": " + run.crashes[i].label;
    Section(&out, title.c_str(), run.crashes[i].checks);
  }
  Section(&out, "Clean-up", run.cleanup);
  if (!run.could_not_run.empty()) {
    Line(&out, "%s", "");
    Line(&out, "COULD NOT RUN: %s", run.could_not_run.c_str());
  }
  const Figures f = Collect(run);
  Line(&out, "%s", "");
  Line(&out, "Figures (median, then every value; the crash folder and the windows were looked at every %.0f ms)",
       run.poll_ms);
  Milliseconds(&out, "crash to dump committed", f.to_dump);
  Milliseconds(&out, "crash to box", f.to_box);
  Bytes(&out, "dump size", f.dump_bytes);
  Milliseconds(&out, "whole capture (the callback)", f.capture);
  Milliseconds(&out, "bare MiniDumpWriteDump", f.bare);
  Milliseconds(&out, "capture minus bare dump", f.difference);
  Bytes(&out, "bare dump size", f.bare_bytes);
  Line(&out, "%s", "");
  const int code = ExitCode(run);
  Line(&out, "Result: %s (%zu passed, %zu warnings, %zu failed), exit code %d",
       code == 0 ? "PASS" : code == 1 ? "FAIL" : "COULD NOT RUN", Count(run, Verdict::kPass),
       Count(run, Verdict::kWarn), Count(run, Verdict::kFail), code);
  if (!report_path.empty()) Line(&out, "Report: %.*s", static_cast<int>(report_path.size()), report_path.data());
  return out;
}

}  // namespace crashcheck
