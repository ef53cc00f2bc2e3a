#include "check/crash_checks.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "capture/capture.h"
#include "common/civil_time.h"
#include "triage/minidump.h"
#include "triage/summary.h"
#include "triage/text.h"

namespace crashcheck {
namespace {

constexpr std::uint32_t kAccessViolation = 0xC0000005;
constexpr std::uint32_t kStackBufferOverrun = 0xC0000409;  // what a fail-fast raises
// A name's time may lie this far outside the span from start to sight (clock steps).
constexpr std::int64_t kClockSlack = 2;

// Stream types the dump type 0x1865 asks for beyond the ones every dump has.
struct TypedStream {
  std::uint32_t type;
  const char* name;
};
constexpr TypedStream kDumpTypeStreams[] = {
    {12, "HandleDataStream"},          // MiniDumpWithHandleData
    {14, "UnloadedModuleListStream"},  // MiniDumpWithUnloadedModules
    {16, "MemoryInfoListStream"},      // MiniDumpWithFullMemoryInfo
    {17, "ThreadInfoListStream"},      // MiniDumpWithThreadInfo
};
// And the ones every dump of a crash must have (a memory list of either kind as well).
constexpr TypedStream kEveryDumpStreams[] = {
    {triage::kThreadListStream, "ThreadListStream"},   {triage::kModuleListStream, "ModuleListStream"},
    {triage::kExceptionStream, "ExceptionStream"},     {triage::kSystemInfoStream, "SystemInfoStream"},
    {triage::kCommentStreamA, "CommentStreamA"},       {triage::kMiscInfoStream, "MiscInfoStream"},
};

bool Has(const std::vector<std::uint32_t>& types, std::uint32_t type) {
  return std::find(types.begin(), types.end(), type) != types.end();
}

std::string Lower(std::string text) { return triage::AsciiLower(std::move(text)); }

// The first value of each key of the report text's key=value lines.
std::map<std::string, std::string> ReportFields(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) fields.emplace(line.substr(0, equals), line.substr(equals + 1));
    at = end + 2;
  }
  return fields;
}

// yyyy-mm-ddThh:mm:ss as the seconds that a UTC time of those figures would have.
std::int64_t WallSeconds(const std::string& time) {
  common::CivilTime t;
  t.year = triage::Number(time.substr(0, 4));
  t.month = triage::Number(time.substr(5, 2));
  t.day = triage::Number(time.substr(8, 2));
  t.hour = triage::Number(time.substr(11, 2));
  t.minute = triage::Number(time.substr(14, 2));
  t.second = triage::Number(time.substr(17, 2));
  return common::SecondsFromCivil(t);
}

std::string WallText(std::int64_t seconds) {
  const common::CivilTime t = common::CivilFromSeconds(seconds);
  char text[64];
  std::snprintf(text, sizeof(text), "%04lld-%02u-%02u %02u:%02u:%02u", static_cast<long long>(t.year),
                t.month, t.day, t.hour, t.minute, t.second);
  return text;
}

std::string Shown(std::u16string_view text) {
  std::string out;
  for (char c : triage::Utf8FromUtf16(text)) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

Check ExceptionCheck(const triage::Minidump& dump, const CrashPlan& plan) {
  const char* name = "exception and fault module";
  std::string why;
  std::optional<triage::ExceptionInfo> exception;
  std::vector<triage::Module> modules;
  if (!dump.ReadException(&exception, &why) || !dump.ReadModules(&modules, &why)) {
    return Fail(name, "the reader refuses the dump: " + why, "send us the dump");
  }
  if (!exception) {
    return Fail(name, "the dump holds no exception stream", "send us the dump and the report");
  }
  std::string module = "no module";
  for (const triage::Module& m : modules) {
    if (exception->address >= m.base && exception->address - m.base < m.size) {
      module = triage::FileNameOf(triage::Utf8FromUtf16(m.path));
      break;
    }
  }
  const std::string found = Hex(exception->code) + " in " + module;
  if (exception->code != plan.code || Lower(module) != Lower(plan.fault_module)) {
    return Fail(name, "the dump holds " + found + ", the crash was " + Hex(plan.code) + " in " +
                          plan.fault_module,
                "send us the dump and the report");
  }
  return Pass(name, found);
}

Check ReportCheck(const std::optional<std::string>& comment, const CrashPlan& plan) {
  const char* name = "report stream";
  if (!comment) {
    return Fail(name, "the dump holds no comment stream: the report was not embedded",
                "send us the dump");
  }
  const auto fields = ReportFields(*comment);
  const auto field = [&](const char* key) {
    const auto it = fields.find(key);
    return it == fields.end() ? std::string("(none)") : it->second;
  };
  if (field("crash.schema") != "2" || field("primary.code") != Hex(plan.code) ||
      Lower(field("fault.module")) != Lower(plan.fault_module)) {
    return Fail(name, "the report says crash.schema " + field("crash.schema") + ", primary.code " +
                          field("primary.code") + ", fault.module " + field("fault.module") +
                          "; the crash was " + Hex(plan.code) + " in " + plan.fault_module,
                "send us the dump and the report");
  }
  if (field("check.crash") != plan.name) {
    return Fail(name, std::string("the client's report text check.crash=") + plan.name + " is missing (found " +
                          field("check.crash") + "): the crash context block was not read",
                "send us the dump and the report");
  }
  return Pass(name, std::to_string(comment->size()) + " bytes; code, fault module and the client's own text as expected");
}

Check ReportFileCheck(const std::optional<std::string>& comment, const std::optional<std::string>& file) {
  const char* name = "report text file";
  if (!file) return Fail(name, "no .txt beside the dump", "send us the dump");
  if (!comment) return Fail(name, "no report stream to compare the .txt with", "send us the dump");
  if (*file != *comment) {
    std::size_t at = 0;
    while (at < file->size() && at < comment->size() && (*file)[at] == (*comment)[at]) ++at;
    return Fail(name, "the .txt (" + std::to_string(file->size()) + " bytes) differs from the report stream (" +
                          std::to_string(comment->size()) + " bytes) from byte " + std::to_string(at),
                "send us both files");
  }
  return Pass(name, "the .txt equals the report stream, byte for byte");
}

Check StreamsCheck(const triage::Minidump& dump, const std::optional<std::vector<std::uint32_t>>& bare) {
  const char* name = "streams of the dump type";
  std::vector<std::uint32_t> types;
  for (const triage::StreamEntry& s : dump.streams()) types.push_back(s.type);
  std::vector<std::string> missing;
  std::vector<std::string> absent_here;
  if (dump.header().flags != capture::kDumpType) {
    missing.push_back("written with dump type " + Hex(static_cast<std::uint32_t>(dump.header().flags)) +
                      ", not " + Hex(capture::kDumpType));
  }
  for (const TypedStream& s : kEveryDumpStreams) {
    if (!Has(types, s.type)) missing.push_back(s.name);
  }
  if (!Has(types, triage::kMemoryListStream) && !Has(types, triage::kMemory64ListStream)) {
    missing.push_back("MemoryListStream or Memory64ListStream");
  }
  for (const TypedStream& s : kDumpTypeStreams) {
    if (Has(types, s.type)) continue;
    if (bare && !Has(*bare, s.type)) {
      absent_here.push_back(s.name);
    } else {
      missing.push_back(s.name);
    }
  }
  if (bare) {
    for (std::uint32_t type : *bare) {
      // Type 0 marks a directory entry that a writer reserved and left unused.
      if (!Has(types, type) && type != triage::kCommentStreamA && type != 0) {
        missing.push_back("stream type " + std::to_string(type) + " of the bare dump");
      }
    }
  }
  if (!missing.empty()) {
    return Fail(name, "missing: " + Joined(missing, ", ") + (bare ? "" : " (no bare dump to compare with)"),
                "send us the dump and the report");
  }
  std::string detail = std::to_string(types.size()) + " streams, dump type " + Hex(capture::kDumpType);
  if (!absent_here.empty()) {
    return Warn(name, detail + "; this system's dbghelp writes no " + Joined(absent_here, ", ") +
                          " for this dump type (a bare MiniDumpWriteDump lacks them too)",
                "none for the capture: the dump writer of this system leaves them out");
  }
  return Pass(name, detail + ", every stream a bare MiniDumpWriteDump writes here");
}

}  // namespace

const std::vector<CrashPlan>& CrashPlans() {
  static const std::vector<CrashPlan> plans = {
      {"driver", "access violation in nvwgf2umx.dll (named like the NVIDIA driver)",
       "--crash=in:nvwgf2umx.dll", kAccessViolation, "nvwgf2umx.dll", true},
      {"client", "access violation in Client.exe", "--crash=access-violation", kAccessViolation,
       "Client.exe", false},
      {"fail-fast", "fail-fast in Client.exe", "--crash=fail-fast", kStackBufferOverrun, "Client.exe", false},
  };
  return plans;
}

std::optional<std::vector<CrashPlan>> PlansNamed(std::string_view list) {
  std::vector<CrashPlan> out;
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view word = list.substr(0, comma);
    const auto& all = CrashPlans();
    const auto it = std::find_if(all.begin(), all.end(), [&](const CrashPlan& p) { return word == p.name; });
    if (it == all.end()) return std::nullopt;
    out.push_back(*it);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
  if (out.empty()) return std::nullopt;
  return out;
}

std::vector<std::string> ClientArguments(const CrashPlan& plan) {
  return {plan.crash_option, std::string("--tag=") + kTag, "--language=de",
          std::string("--text1=check.crash=") + plan.name + "\\r\\n"};
}

Check CheckDumpName(std::string_view file_name, std::int64_t utc_before, std::int64_t utc_after) {
  const char* name = "dump name";
  const std::string shown(file_name);
  const std::optional<triage::DumpName> parsed = triage::ParseDumpName(file_name);
  const char* fix = "send us the dump and the report";
  if (!parsed) return Fail(name, shown + " is not a name of the capture's form", fix);
  if (parsed->development || parsed->version != kClientVersion || parsed->tag != std::string(kTag) ||
      parsed->language != kLanguage) {
    return Fail(name, shown + ": expected no development mark, version " + kClientVersion + ", tag " + kTag +
                          " and language " + kLanguage + " as the client set them",
                fix);
  }
  std::int64_t low = common::SecondsFromCivil(common::CentralEuropeanFromUtc(utc_before));
  std::int64_t high = common::SecondsFromCivil(common::CentralEuropeanFromUtc(utc_after));
  if (low > high) std::swap(low, high);  // the hour the clocks go back
  const std::int64_t named = WallSeconds(parsed->time);
  if (named < low - kClockSlack || named > high + kClockSlack) {
    const std::int64_t off = named < low ? named - low : named - high;
    const std::int64_t hours = (off + (off < 0 ? -1800 : 1800)) / 3600;
    const bool whole_hours = hours != 0 && (off - hours * 3600 <= kClockSlack && hours * 3600 - off <= kClockSlack);
    return Fail(name, shown + ": the name says " + WallText(named) + ", but the crash was between " + WallText(low) +
                          " and " + WallText(high) + " Central European time" +
                          (whole_hours ? " (" + std::to_string(hours) + " h off: the time of another zone)" : ""),
                "check the time zone \"Central European Standard Time\" on this machine, and send us the report");
  }
  return Pass(name, shown + ": version, tag and language as the client set them, " + WallText(named) +
                        " Central European time, between the crash and the commit");
}

Check MissingDump(const CrashPlan& plan, const std::string& crash_folder,
                  const std::optional<std::uint32_t>& client_exit, bool under_wine) {
  const std::string ended = client_exit ? "the client ended with " + Hex(*client_exit) : "the client did not end";
  if (under_wine && plan.code == kStackBufferOverrun && client_exit == kStackBufferOverrun) {
    return Warn("dump committed", ended + " and no dump was written: Wine ends a fail-fast at once, with no "
                                          "debugger and no WER to hand it to, so it cannot be shown here",
                "run crash-check on Windows, where WER takes a fail-fast like any crash");
  }
  return Fail("dump committed", "no dump was committed: " + ended + "; the crash folder holds " + crash_folder,
              "check the preflight's findings, the registration, and whether a policy (AppLocker, "
              "application control) blocks programs or DLLs in the temp folder; send us the report");
}

std::optional<std::vector<std::uint32_t>> StreamTypes(const triage::RangeReader& input, std::string* why) {
  const std::optional<triage::Minidump> dump = triage::Minidump::Open(input, why);
  if (!dump) return std::nullopt;
  std::vector<std::uint32_t> types;
  for (const triage::StreamEntry& s : dump->streams()) types.push_back(s.type);
  return types;
}

std::vector<Check> CheckDump(const triage::RangeReader& input, const std::optional<std::string>& report_file,
                             const CrashPlan& plan,
                             const std::optional<std::vector<std::uint32_t>>& bare_streams) {
  std::string why;
  const std::optional<triage::Minidump> dump = triage::Minidump::Open(input, &why);
  if (!dump) {
    return {Fail("dump readable", "crash-triage's reader refuses it: " + why, "send us the dump")};
  }
  std::optional<std::string> comment;
  bool cut = false;
  if (!dump->ReadComment(&comment, &cut, &why)) {
    return {Fail("dump readable", "crash-triage's reader refuses its comment stream: " + why, "send us the dump")};
  }
  return {ExceptionCheck(*dump, plan), ReportCheck(comment, plan), ReportFileCheck(comment, report_file),
          StreamsCheck(*dump, bare_streams)};
}

std::u16string ExpectedBoxText(const CrashPlan& plan) {
  std::u16string text =
      u"An unexpected problem occurred - game will be closed.\n\nTo improve your game experience please "
      u"contact us in Support/Discord/Forum with details:\n- when/how it happened\n- screenshot of game "
      u"window\n- latest .dmp file from Crash directory\n- your addons list/screenshot";
  if (plan.box_names_module) {
    text += u"\n\nDetected external module: nvwgf2umx.dll\n"
            u"Update or clean-install the NVIDIA driver and disable GPU overlays.";
  }
  return text;
}

Check CheckBoxText(const std::optional<std::u16string>& text, const CrashPlan& plan) {
  const char* name = "notifier's box";
  if (!text) {
    return Fail(name, "no \"Game Crash\" box of Brisvane.exe appeared",
                "make sure Brisvane.exe lies beside Client.exe and may run (Smart App Control, endpoint "
                "protection); send us the report");
  }
  const std::u16string expected = ExpectedBoxText(plan);
  if (*text != expected) {
    return Fail(name, "the box says \"" + Shown(*text) + "\", not \"" + Shown(expected) + "\"",
                "send us the report and a screenshot of the box");
  }
  return Pass(name, plan.box_names_module ? "the base message, the module and the NVIDIA advice"
                                          : "the base message alone (no advice for the module)");
}

}  // namespace crashcheck
