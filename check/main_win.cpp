// crash-check.exe: proves the capture on the Windows machine it runs on, and measures it
// there. Run from the release package's check folder as a standard user:
//
//   crash-check.exe [--rounds=N] [--kinds=LIST] [--keep] [--out=DIR] [--release=DIR] [--timeout=S]
//
// It looks at the machine (preflight), registers the release's Calvorin.dll for the
// current user as the integration guide says, crashes the sample client through WER in a
// fresh copy of the game folder under the user's temp folder, checks every dump, report
// and box, measures, removes what it made, and writes crash-check-<machine>-<date>.json.
// Exit code 0 when every check passed (warnings allowed), 1 when one failed, 2 when the
// check could not run.
#include <windows.h>
#include <mmsystem.h>  // timeBeginPeriod: the waits below poll every few milliseconds

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>

#include "check/check.h"
#include "check/crash_checks.h"
#include "check/preflight.h"
#include "check/processes_win.h"
#include "check/system_win.h"
#include "triage/range_reader.h"

namespace crashcheck {
namespace {

using namespace crashcheck::win;

constexpr wchar_t kUsage[] =
    L"usage: crash-check.exe [--rounds=N] [--kinds=LIST] [--keep] [--out=DIR] [--release=DIR] [--timeout=S]\n"
    L"  --rounds=N     crashes of each kind, and measured rounds (default 3, at most 50)\n"
    L"  --kinds=LIST   which crashes, of driver,client,fail-fast (default all three)\n"
    L"  --keep         keep the dumps beside the report\n"
    L"  --out=DIR      where the report goes (default the current folder)\n"
    L"  --release=DIR  the folder of the Calvorin.dll and Brisvane.exe to check (default the package's)\n"
    L"  --timeout=S    how long to wait for each crash's dump and box (default 60 s)\n";

constexpr DWORD kPollMs = 2;
// After the client has ended, WER is done with it: the dump is there or will not come.
constexpr double kDumpAfterEndMs = 3000;
constexpr double kReportFileWaitMs = 2000;
constexpr DWORD kNotifierExitMs = 10000;
constexpr double kBenchBoxMs = 15000;
// Once the dump and the box are there, WER lets the client end within moments.
constexpr double kClientEndMs = 10000;

const std::wstring kWerKey = L"Software\\Microsoft\\Windows\\Windows Error Reporting";
const std::wstring kHelperKey = kWerKey + L"\\RuntimeExceptionHelperModules";

struct Options {
  int rounds = 3;
  std::vector<CrashPlan> plans = CrashPlans();
  bool keep = false;
  std::wstring out;
  std::wstring release;
  double timeout_ms = 60000;
};

struct Layout {
  std::wstring release;  // Calvorin.dll and Brisvane.exe
  std::wstring check;    // Client.exe and nvwgf2umx.dll beside crash-check.exe
  std::wstring work;     // the scratch folder
  std::wstring game;     // where the crashes happen
  std::wstring bench;    // where the measurement happens
  std::wstring dumps;    // where each crash's files are moved
};

struct Registration {
  std::wstring value;  // the module's full path, the value's name
  bool added = false;
  bool made_wer_key = false;
  bool made_helper_key = false;
};

void Print(const std::string& utf8) {
  const std::wstring text = Wide(utf8);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  } else {
    WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  }
}

bool ParseOptions(int argc, wchar_t** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const auto value = [&arg](const wchar_t* name) -> const wchar_t* {
      const std::size_t n = std::wcslen(name);
      return arg.compare(0, n, name) == 0 ? arg.c_str() + n : nullptr;
    };
    if (const wchar_t* v = value(L"--rounds=")) {
      options->rounds = std::wcstol(v, nullptr, 10);
      if (options->rounds < 1 || options->rounds > 50) return false;
    } else if (const wchar_t* v = value(L"--kinds=")) {
      const auto plans = PlansNamed(Utf8(v));
      if (!plans) return false;
      options->plans = *plans;
    } else if (const wchar_t* v = value(L"--out=")) {
      options->out = v;
    } else if (const wchar_t* v = value(L"--release=")) {
      options->release = v;
    } else if (const wchar_t* v = value(L"--timeout=")) {
      options->timeout_ms = 1000.0 * std::wcstol(v, nullptr, 10);
      if (options->timeout_ms < 1000) return false;
    } else if (arg == L"--keep") {
      options->keep = true;
    } else {
      return false;
    }
  }
  return true;
}

bool EndsWith(const std::wstring& text, const std::wstring& end) {
  return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::wstring FullPath(const std::wstring& path) {
  wchar_t out[32768];
  const DWORD n = GetFullPathNameW(path.c_str(), 32768, out, nullptr);
  return n == 0 || n >= 32768 ? path : std::wstring(out, n);
}

// ---- Preflight ----

Probes Probe(const Layout& layout) {
  Probes p;
  p.windows = Version();
  const std::wstring policy = L"Software\\Policies\\Microsoft\\Windows\\Windows Error Reporting";
  const struct {
    HKEY root;
    const wchar_t* hive;
    const std::wstring* key;
  } places[] = {{HKEY_LOCAL_MACHINE, L"HKLM", &kWerKey},
                {HKEY_CURRENT_USER, L"HKCU", &kWerKey},
                {HKEY_LOCAL_MACHINE, L"HKLM", &policy},
                {HKEY_CURRENT_USER, L"HKCU", &policy}};
  for (const auto& place : places) {
    const std::string where = Utf8(std::wstring(place.hive) + L"\\" + *place.key);
    p.wer_disabled.push_back({where + "\\Disabled", ReadDword(place.root, *place.key, L"Disabled")});
    if (ValueExists(place.root, *place.key + L"\\ExcludedApplications", L"Client.exe")) {
      p.excluded_in.push_back(where + "\\ExcludedApplications");
    }
  }
  p.wer_service_start = ReadDword(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\WerSvc", L"Start");
  p.process_error_mode = GetErrorMode();
  p.thread_error_mode = GetThreadErrorMode();
  for (const std::wstring& key : {kWerKey + L"\\LocalDumps", kWerKey + L"\\LocalDumps\\Client.exe"}) {
    if (!KeyExists(HKEY_LOCAL_MACHINE, key)) continue;
    const auto folder = ReadText(HKEY_LOCAL_MACHINE, key, L"DumpFolder");
    const auto type = ReadDword(HKEY_LOCAL_MACHINE, key, L"DumpType");
    p.local_dumps.push_back("HKLM\\" + Utf8(key) + " (DumpFolder " +
                            (folder ? Utf8(*folder) : std::string("%LOCALAPPDATA%\\CrashDumps")) +
                            ", DumpType " + (type ? std::to_string(*type) : std::string("1")) + ")");
  }
  const std::wstring aedebug = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug";
  if (const auto debugger = ReadText(HKEY_LOCAL_MACHINE, aedebug, L"Debugger"); debugger && !debugger->empty()) {
    p.aedebug_debugger = Utf8(*debugger);
  }
  p.aedebug_auto = ReadText(HKEY_LOCAL_MACHINE, aedebug, L"Auto").value_or(L"0") == L"1";
  for (const wchar_t* file : {L"\\Calvorin.dll", L"\\Brisvane.exe"}) {
    if (!IsFile(layout.release + file)) {
      p.signatures.clear();
      break;
    }
    p.signatures.push_back(VerifySignature(layout.release + file));
  }
  p.smart_app_control = ReadDword(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\CI\\Policy",
                                  L"VerifiedAndReputablePolicyState");
  return p;
}

// The package's files, and a scratch folder with two copies of the game folder's layout.
bool Prepare(const Options& options, Layout* layout, Run* run) {
  const wchar_t* release_files[] = {L"Calvorin.dll", L"Brisvane.exe"};
  const wchar_t* check_files[] = {L"Client.exe", L"nvwgf2umx.dll"};
  for (const wchar_t* file : release_files) {
    if (!IsFile(layout->release + L"\\" + file)) {
      run->could_not_run = "no " + Utf8(file) + " in " + Utf8(layout->release) +
                           ": run crash-check from the release package's check folder, or name the folder with --release";
      return false;
    }
  }
  for (const wchar_t* file : check_files) {
    if (!IsFile(layout->check + L"\\" + file)) {
      run->could_not_run = "no " + Utf8(file) + " beside crash-check.exe in " + Utf8(layout->check);
      return false;
    }
  }
  std::string why;
  const std::wstring out = options.out.empty() ? FullPath(L".") : FullPath(options.out);
  if (!Writable(out, &why)) {
    run->preflight.push_back(Fail("report folder writable", why, "name a writable folder with --out"));
    run->could_not_run = "the report cannot be written to " + Utf8(out);
    return false;
  }
  run->preflight.push_back(Pass("report folder writable", Utf8(out)));
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring base = LongPath(std::wstring(temp, n > 0 && temp[n - 1] == L'\\' ? n - 1 : n));
  // A folder of that name is an earlier run's that was ended by force: left alone.
  const std::wstring stem = base + L"\\crash-check-" + std::to_wstring(GetCurrentProcessId());
  layout->work = stem;
  for (int n = 2; IsFolder(layout->work) || IsFile(layout->work); ++n) layout->work = stem + L"-" + std::to_wstring(n);
  layout->game = layout->work + L"\\game";
  layout->bench = layout->work + L"\\bench";
  layout->dumps = layout->work + L"\\dumps";
  bool made = MakeFolder(layout->work, &why);
  if (made) {
    // The path the module is registered under must be the one the client reports, so
    // every folder is in its long form (GetTempPath may give a short one).
    layout->work = LongPath(layout->work);
    layout->game = layout->work + L"\\game";
    layout->bench = layout->work + L"\\bench";
    layout->dumps = layout->work + L"\\dumps";
  }
  // The capture makes the game's crash folder itself; the measurement's holds the bare
  // dump before the first capture.
  made = made && MakeFolder(layout->game, &why) && MakeFolder(layout->bench, &why) &&
         MakeFolder(layout->bench + L"\\Crash", &why);
  for (const std::wstring* folder : {&layout->game, &layout->bench}) {
    for (const wchar_t* file : release_files) made = made && CopyInto(layout->release + L"\\" + file, *folder, file, &why);
    for (const wchar_t* file : check_files) made = made && CopyInto(layout->check + L"\\" + file, *folder, file, &why);
  }
  made = made && MakeFolder(layout->dumps, &why);
  run->work = Utf8(layout->work);
  if (!made) {
    run->preflight.push_back(Fail("temp folder writable", why, "free the user's temp folder or point TEMP elsewhere"));
    run->could_not_run = "the game folder cannot be laid out under " + Utf8(base);
    return false;
  }
  run->preflight.push_back(Pass("temp folder writable", "the game folder laid out in " + Utf8(layout->game)));
  return true;
}

// ---- Registration ----

void Register(const Layout& layout, Registration* reg, Run* run) {
  reg->value = layout.game + L"\\Calvorin.dll";
  const std::string where = "HKCU\\" + Utf8(kHelperKey);
  std::vector<std::string> stale;
  for (const std::wstring& name : ValueNames(HKEY_CURRENT_USER, kHelperKey)) {
    if (name.find(L"\\crash-check-") != std::wstring::npos &&
        EndsWith(name, L"\\game\\Calvorin.dll")) {
      stale.push_back(Utf8(name));
    }
  }
  if (!stale.empty()) {
    run->registration.push_back(Warn("earlier registrations", "left by a crash-check that was ended by force (or "
                                                              "of one running now): " + Joined(stale, ", "),
                                     "delete each with reg delete \"" + where + "\" /v <path> /f /reg:64"));
  }
  if (ValueExists(HKEY_CURRENT_USER, kHelperKey, reg->value)) {
    run->registration.push_back(Pass("module registered", where + " already lists " + Utf8(reg->value) +
                                                              "; left as it was"));
    return;
  }
  reg->made_wer_key = !KeyExists(HKEY_CURRENT_USER, kWerKey);
  reg->made_helper_key = !KeyExists(HKEY_CURRENT_USER, kHelperKey);
  std::string why;
  if (!WriteDword(HKEY_CURRENT_USER, kHelperKey, reg->value, 0, &why)) {
    run->registration.push_back(Fail("module registered", "cannot write " + where + ": " + why,
                                     "check that the user may write HKEY_CURRENT_USER"));
    run->could_not_run = "the module could not be registered";
    return;
  }
  reg->added = true;
  run->registration.push_back(Pass("module registered", where + " lists " + Utf8(reg->value) +
                                                            " (REG_DWORD 0, 64-bit view) until the end of the check"));
}

void Unregister(const Registration& reg, Run* run) {
  if (!reg.added) return;
  std::string why;
  const bool removed = DeleteValue(HKEY_CURRENT_USER, kHelperKey, reg.value, &why);
  if (reg.made_helper_key) DeleteEmptyKey(HKEY_CURRENT_USER, kHelperKey);
  if (reg.made_wer_key) DeleteEmptyKey(HKEY_CURRENT_USER, kWerKey);
  if (removed && !ValueExists(HKEY_CURRENT_USER, kHelperKey, reg.value)) {
    run->cleanup.push_back(Pass("registration removed", Utf8(reg.value) + " no longer listed"));
  } else {
    run->cleanup.push_back(Fail("registration removed", "the value " + Utf8(reg.value) + " is still there: " + why,
                                "reg delete \"HKCU\\" + Utf8(kHelperKey) + "\" /v \"" + Utf8(reg.value) +
                                    "\" /f /reg:64"));
  }
}

// ---- Measurement ----

std::vector<std::wstring> CaptureFiles(const std::wstring& crash) {
  std::vector<std::wstring> files;
  for (const std::wstring& name : Entries(crash)) {
    if (name != L"bench-bare.dmp") files.push_back(name);
  }
  return files;
}

void Measure(const Layout& layout, const Options& options, Run* run,
             std::optional<std::vector<std::uint32_t>>* bare_streams) {
  Print("Measuring: the module called for one crashed client, against a bare MiniDumpWriteDump\n");
  const std::wstring crash = layout.bench + L"\\Crash";
  const std::wstring bare = crash + L"\\bench-bare.dmp";
  DebuggedCrash client;
  std::string why;
  if (!client.Start(layout.bench, ClientArguments(CrashPlans().front()), layout.work + L"\\bench.out", &why)) {
    run->measure.push_back(Fail("crashed client", why, "send us the report"));
    return;
  }
  std::string capture_failure;
  std::string bare_failure;
  for (int round = 0; round < options.rounds && !Interrupted(); ++round) {
    Round measured;
    MeasuredCall capture;
    MeasuredCall dump;
    for (int step = 0; step < 2; ++step) {
      // Even rounds call the module first, odd rounds the bare writer.
      if ((step == 0) == (round % 2 == 0)) {
        capture = client.CallModule();
      } else {
        dump = client.WriteBareDump(bare);
      }
    }
    const std::string at = "round " + std::to_string(round + 1) + ": ";
    std::vector<std::wstring> files = CaptureFiles(crash);
    std::wstring dump_name;
    for (const std::wstring& f : files) {
      if (EndsWith(f, L".dmp")) dump_name = f;
    }
    if (capture.result != S_OK || capture.claimed != TRUE || dump_name.empty()) {
      char text[160];
      std::snprintf(text, sizeof(text), "the module answered 0x%08lX, claimed %d, and committed %s",
                    static_cast<unsigned long>(capture.result), capture.claimed,
                    dump_name.empty() ? "no dump" : "a dump");
      if (capture_failure.empty()) capture_failure = at + text;
    }
    if (!dump.bare_written && bare_failure.empty()) bare_failure = at + ErrorText(dump.bare_error);
    if (dump.bare_written && !*bare_streams) {
      if (auto reader = triage::OpenFileRange(bare, &why)) *bare_streams = StreamTypes(*reader, &why);
    }
    measured.capture_ms = capture.capture_ms;
    measured.bare_ms = dump.bare_ms;
    measured.bare_bytes = FileSize(bare).value_or(0);
    DeleteFileW(bare.c_str());
    // A committed capture has started the notifier: its box is closed before the next round.
    if (!dump_name.empty()) {
      const std::int64_t start = Ticks();
      std::optional<Box> box;
      while (!(box = FindBox(layout.bench + L"\\Brisvane.exe")) && Milliseconds(start, Ticks()) < kBenchBoxMs &&
             Pause(20)) {
      }
      if (box) CloseBox(&*box, kNotifierExitMs);
    }
    for (const std::wstring& f : files) DeleteFileW((crash + L"\\" + f).c_str());
    if (capture.claimed == TRUE && !dump_name.empty() && dump.bare_written) run->measured.push_back(measured);
    Print("  " + at + std::to_string(static_cast<long long>(measured.capture_ms)) + " ms capture, " +
          std::to_string(static_cast<long long>(measured.bare_ms)) + " ms bare dump\n");
  }
  const std::string rounds = std::to_string(options.rounds) + " rounds";
  if (capture_failure.empty()) {
    run->measure.push_back(Pass("module called for a crash", rounds + ": S_OK, claimed, a dump committed each time"));
  } else {
    run->measure.push_back(Fail("module called for a crash", capture_failure,
                                "check that Calvorin.dll is the release's own file; send us the report"));
  }
  if (bare_failure.empty()) {
    run->measure.push_back(Pass("bare MiniDumpWriteDump", rounds + " with dump type 0x1865"));
  } else {
    run->measure.push_back(Fail("bare MiniDumpWriteDump", bare_failure, "send us the report"));
  }
}

// ---- One crash through WER ----

std::string Listing(const std::wstring& folder) {
  if (!IsFolder(folder)) return "nothing (no crash folder)";
  std::string list;
  for (const std::wstring& name : Entries(folder)) {
    const bool temporary = EndsWith(name, L".tmp");
    list += (list.empty() ? "" : ", ") + Utf8(name) + (temporary ? " (never renamed)" : "");
  }
  return list.empty() ? "nothing" : list;
}

std::optional<std::int64_t> CrashTicks(const std::wstring& output) {
  const auto text = ReadWholeFile(output, 1 << 20);
  const std::size_t at = text ? text->find("crash.qpc=") : std::string::npos;
  if (at == std::string::npos) return std::nullopt;
  return std::strtoll(text->c_str() + at + 10, nullptr, 10);
}

CrashRecord CrashOnce(const Layout& layout, const Options& options, const CrashPlan& plan, int index,
                      const std::optional<std::vector<std::uint32_t>>& bare_streams, bool under_wine) {
  CrashRecord record;
  record.label = plan.label;
  const std::wstring crash = layout.game + L"\\Crash";
  const std::wstring notifier = layout.game + L"\\Brisvane.exe";
  const std::wstring output = layout.work + L"\\client-" + std::to_wstring(index) + L".out";
  const std::int64_t utc_before = UtcSeconds();
  Child client;
  std::string why;
  if (!StartClient(layout.game + L"\\Client.exe", ClientArguments(plan), output, false, &client, &why)) {
    record.checks.push_back(Fail("client started", why, "send us the report"));
    return record;
  }
  const std::int64_t start = Ticks();
  std::optional<std::int64_t> crashed, dumped, boxed, ended;
  std::wstring dump_name;
  std::int64_t utc_after = utc_before;
  std::optional<Box> box;
  for (;;) {
    if (!crashed) crashed = CrashTicks(output);
    if (!dumped) {
      for (const std::wstring& name : Entries(crash)) {
        if (EndsWith(name, L".dmp")) {
          dumped = Ticks();
          utc_after = UtcSeconds();
          dump_name = name;
        }
      }
    }
    if (!box && (box = FindBox(notifier))) boxed = Ticks();
    if (!ended && !client.running()) ended = Ticks();
    const std::int64_t now = Ticks();
    if (dumped && box && (ended || Milliseconds(std::max(*dumped, *boxed), now) > kClientEndMs)) break;
    if (ended && !dumped && Milliseconds(*ended, now) > kDumpAfterEndMs) break;
    if (Milliseconds(start, now) > options.timeout_ms || !Pause(kPollMs)) break;
  }
  const std::string seconds = std::to_string(static_cast<int>(options.timeout_ms / 1000)) + " s";
  if (!crashed) {
    const std::string said = ReadWholeFile(output, 1 << 20).value_or("").substr(0, 300);
    const std::string code = client.exit_code() ? std::to_string(*client.exit_code()) : "none yet";
    record.checks.push_back(Fail("client crashed", "the client did not reach its crash within " + seconds +
                                                       " (exit code " + code + "; it said: " + said + ")",
                                 "send us the report"));
  }
  if (client.running()) {
    record.checks.push_back(Warn("client ended", "Client.exe still ran after its dump and box: WER may be showing a "
                                                 "dialog of its own, which a player would see too",
                                 "look at the WER settings the preflight lists; send us the report"));
    client.Terminate();
  }
  if (!dumped) {
    record.checks.push_back(MissingDump(plan, Listing(crash), client.exit_code(), under_wine));
  } else {
    const std::wstring dump = crash + L"\\" + dump_name;
    const std::wstring text = dump.substr(0, dump.size() - 4) + L".txt";
    const std::int64_t seen = Ticks();
    while (!IsFile(text) && Milliseconds(seen, Ticks()) < kReportFileWaitMs && Pause(kPollMs)) {
    }
    record.dump_bytes = FileSize(dump);
    if (crashed) record.crash_to_dump_ms = Milliseconds(*crashed, *dumped);
    const std::vector<std::wstring> files = Entries(crash);
    const std::string size = std::to_string(record.dump_bytes.value_or(0)) + " bytes";
    if (files.size() == 2 && IsFile(text)) {
      record.checks.push_back(Pass("dump committed", Utf8(dump_name) + " and its .txt, " + size));
    } else {
      record.checks.push_back(Fail("dump committed", "besides the dump (" + size + ") the crash folder holds " +
                                                         Listing(crash),
                                   "send us the report"));
    }
    record.checks.push_back(CheckDumpName(Utf8(dump_name), utc_before, utc_after));
    std::string reason;
    const auto reader = triage::OpenFileRange(dump, &reason);
    if (!reader) {
      record.checks.push_back(Fail("dump readable", reason, "send us the dump"));
    } else {
      for (Check& c : CheckDump(*reader, ReadWholeFile(text, 1 << 24), plan, bare_streams)) {
        record.checks.push_back(std::move(c));
      }
    }
  }
  if (box || dumped) record.checks.push_back(CheckBoxText(box ? std::optional(box->text) : std::nullopt, plan));
  if (box) {
    if (crashed) record.crash_to_box_ms = Milliseconds(*crashed, *boxed);
    const std::optional<DWORD> code = CloseBox(&*box, kNotifierExitMs);
    if (code == 0u) {
      record.checks.push_back(Pass("notifier closed", "OK pressed; Brisvane.exe ended with exit code 0"));
    } else {
      record.checks.push_back(Fail("notifier closed", code ? "Brisvane.exe ended with exit code " + std::to_string(*code)
                                                           : "Brisvane.exe did not end after OK",
                                   "send us the report"));
    }
  }
  // The crash's files move out of the crash folder, so that the next crash starts empty;
  // the record names them where they went.
  for (const std::wstring& name : Entries(crash)) {
    const std::wstring moved = layout.dumps + L"\\" + std::to_wstring(index) + L"-" + name;
    if (!MoveTo(crash + L"\\" + name, moved, &why)) {
      record.checks.push_back(Fail("crash folder emptied", why, "close whatever holds the file"));
    } else if (name == dump_name) {
      record.dump = Utf8(moved);
    } else if (dumped && name == dump_name.substr(0, dump_name.size() - 4) + L".txt") {
      record.report = Utf8(moved);
    }
  }
  return record;
}

// ---- Clean-up ----

void KeepDumps(const Layout& layout, const std::wstring& kept, Run* run) {
  std::string why;
  if (!MoveTo(layout.dumps, kept, &why)) {
    run->cleanup.push_back(Fail("dumps kept", why, "copy them from " + Utf8(layout.dumps) + " by hand"));
    return;
  }
  const std::string from = Utf8(layout.dumps);
  for (CrashRecord& crash : run->crashes) {
    for (std::string* path : {&crash.dump, &crash.report}) {
      if (path->rfind(from, 0) == 0) *path = Utf8(kept) + path->substr(from.size());
    }
  }
  run->kept = true;
  run->cleanup.push_back(Pass("dumps kept", Utf8(kept)));
}

void Clean(const Layout& layout, const Registration& reg, const std::wstring& kept, Run* run) {
  const int open = CloseAllBoxes(layout.game + L"\\Brisvane.exe") + CloseAllBoxes(layout.bench + L"\\Brisvane.exe");
  if (open > 0) Print("Closed " + std::to_string(open) + " box(es) left open\n");
  Unregister(reg, run);
  if (layout.work.empty()) return;
  if (!kept.empty() && !run->crashes.empty()) KeepDumps(layout, kept, run);
  // WER's host may hold the module a moment longer; a scanner the files.
  std::string why;
  bool removed = false;
  for (int attempt = 0; attempt < 50 && !(removed = RemoveTree(layout.work, &why)); ++attempt) Sleep(200);
  if (removed) {
    run->cleanup.push_back(Pass("scratch folder removed", Utf8(layout.work)));
  } else {
    run->cleanup.push_back(Fail("scratch folder removed", why, "delete " + Utf8(layout.work) + " by hand"));
  }
}

int Main(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    Print(Utf8(kUsage));
    return 2;
  }
  CatchInterrupts();
  timeBeginPeriod(1);
  Run run;
  run.machine = MachineName();
  run.started_utc = UtcText(UtcSeconds());
  run.rounds = options.rounds;
  run.poll_ms = kPollMs;
  const common::CivilTime started = LocalNow();
  Layout layout;
  layout.check = ExeFolder();
  layout.release = !options.release.empty()           ? FullPath(options.release)
                   : IsFile(layout.check + L"\\Calvorin.dll") ? layout.check
                                                              : Parent(layout.check);
  run.release = Utf8(layout.release);
  const std::wstring out = options.out.empty() ? FullPath(L".") : FullPath(options.out);
  const std::string report_name = ReportFileName(run.machine, started);

  Print("crash-check: looking at this machine\n");
  const Probes probes = Probe(layout);
  run.windows = WindowsDescription(probes.windows);
  run.preflight = Preflight(probes);
  Registration reg;
  if (Prepare(options, &layout, &run)) {
    Register(layout, &reg, &run);
    std::optional<std::vector<std::uint32_t>> bare_streams;
    if (run.could_not_run.empty()) Measure(layout, options, &run, &bare_streams);
    int index = 0;
    const int total = options.rounds * static_cast<int>(options.plans.size());
    for (int round = 0; round < options.rounds && run.could_not_run.empty() && !Interrupted(); ++round) {
      for (const CrashPlan& plan : options.plans) {
        if (Interrupted()) break;
        ++index;
        Print("Crash " + std::to_string(index) + " of " + std::to_string(total) + ": " + plan.label + "\n");
        run.crashes.push_back(CrashOnce(layout, options, plan, index, bare_streams, !probes.windows.wine.empty()));
      }
    }
  }
  const std::wstring kept =
      options.keep ? out + L"\\" + Wide(report_name.substr(0, report_name.size() - 5)) + L"-dumps" : L"";
  Clean(layout, reg, kept, &run);
  if (Interrupted() && run.could_not_run.empty()) run.could_not_run = "interrupted";
  timeEndPeriod(1);

  const std::wstring report = out + L"\\" + Wide(report_name);
  std::string why;
  const bool written = WriteWholeFile(report, ReportJson(run), &why);
  Print("\n" + ConsoleSummary(run, written ? Utf8(report) : std::string()));
  if (!written) Print("The report could not be written: " + why + "\n");
  CleanupDone();
  return written ? ExitCode(run) : 2;
}

}  // namespace
}  // namespace crashcheck

int wmain(int argc, wchar_t** argv) { return crashcheck::Main(argc, argv); }
