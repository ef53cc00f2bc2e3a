#include "triage/summary.h"

#include <fmt/format.h>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "common/advice_patterns.h"
#include "common/ascii_match.h"
#include "common/dump_name_form.h"
#include "triage/minidump.h"

namespace triage {
namespace {

struct Named {
  std::uint32_t value;
  const char* name;
};

// The codes that end a Windows process, by the names Microsoft publishes for them
// (winbase.h's EXCEPTION_ names, ntstatus.h's STATUS_ names), and the codes of the
// runtimes' own exceptions.
constexpr Named kWindowsExceptions[] = {
    {0xC0000005, "EXCEPTION_ACCESS_VIOLATION"},     {0xC0000006, "EXCEPTION_IN_PAGE_ERROR"},
    {0xC000008C, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED"}, {0x80000003, "EXCEPTION_BREAKPOINT"},
    {0x80000002, "EXCEPTION_DATATYPE_MISALIGNMENT"}, {0xC000008D, "EXCEPTION_FLT_DENORMAL_OPERAND"},
    {0xC000008E, "EXCEPTION_FLT_DIVIDE_BY_ZERO"},    {0xC000008F, "EXCEPTION_FLT_INEXACT_RESULT"},
    {0xC0000090, "EXCEPTION_FLT_INVALID_OPERATION"}, {0xC0000091, "EXCEPTION_FLT_OVERFLOW"},
    {0xC0000092, "EXCEPTION_FLT_STACK_CHECK"},       {0xC0000093, "EXCEPTION_FLT_UNDERFLOW"},
    {0x80000001, "EXCEPTION_GUARD_PAGE"},            {0xC000001D, "EXCEPTION_ILLEGAL_INSTRUCTION"},
    {0xC0000094, "EXCEPTION_INT_DIVIDE_BY_ZERO"},    {0xC0000095, "EXCEPTION_INT_OVERFLOW"},
    {0xC0000026, "EXCEPTION_INVALID_DISPOSITION"},   {0xC0000008, "EXCEPTION_INVALID_HANDLE"},
    {0xC0000025, "EXCEPTION_NONCONTINUABLE_EXCEPTION"}, {0xC0000096, "EXCEPTION_PRIV_INSTRUCTION"},
    {0x80000004, "EXCEPTION_SINGLE_STEP"},           {0xC00000FD, "EXCEPTION_STACK_OVERFLOW"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},        {0xC0000017, "STATUS_NO_MEMORY"},
    {0xC0000028, "STATUS_BAD_STACK"},                {0xC0000029, "STATUS_INVALID_UNWIND_TARGET"},
    {0xC000007B, "STATUS_INVALID_IMAGE_FORMAT"},     {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC000012D, "STATUS_COMMITMENT_LIMIT"},         {0xC0000135, "STATUS_DLL_NOT_FOUND"},
    {0xC0000138, "STATUS_ORDINAL_NOT_FOUND"},        {0xC0000139, "STATUS_ENTRYPOINT_NOT_FOUND"},
    {0xC000013A, "STATUS_CONTROL_C_EXIT"},           {0xC0000142, "STATUS_DLL_INIT_FAILED"},
    {0xC0000144, "STATUS_UNHANDLED_EXCEPTION"},      {0xC0000194, "STATUS_POSSIBLE_DEADLOCK"},
    {0xC0000228, "STATUS_STACK_OVERFLOW_READ"},      {0xC0000235, "STATUS_HANDLE_NOT_CLOSABLE"},
    {0xC00002B4, "STATUS_FLOAT_MULTIPLE_FAULTS"},    {0xC00002B5, "STATUS_FLOAT_MULTIPLE_TRAPS"},
    {0xC00002C5, "STATUS_DATATYPE_MISALIGNMENT_ERROR"}, {0xC0000374, "STATUS_HEAP_CORRUPTION"},
    {0xC0000409, "STATUS_STACK_BUFFER_OVERRUN"},     {0xC000041D, "STATUS_FATAL_USER_CALLBACK_EXCEPTION"},
    {0xC0000417, "STATUS_INVALID_CRUNTIME_PARAMETER"}, {0xC0000420, "STATUS_ASSERTION_FAILURE"},
    {0xC0000602, "STATUS_FAIL_FAST_EXCEPTION"},      {0x40000015, "STATUS_FATAL_APP_EXIT"},
    {0x4000001F, "STATUS_WX86_BREAKPOINT"},
    // A C++ throw that nothing caught (MSVC's runtime), its delay-load failures
    // (delayimp.h's VcppException), and a .NET exception.
    {0xE06D7363, "CPP_EH_EXCEPTION"},
    {0xC06D007E, "VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND)"},
    {0xC06D007F, "VcppException(ERROR_SEVERITY_ERROR, ERROR_PROC_NOT_FOUND)"},
    {0xE0434352, "EXCEPTION_COMPLUS"},
};

// What a fast fail (__fastfail, STATUS_STACK_BUFFER_OVERRUN) says in its first parameter:
// the FAST_FAIL_ codes of winnt.h.
constexpr const char* kFastFailCodes[] = {
    "LEGACY_GS_VIOLATION", "VTGUARD_CHECK_FAILURE", "STACK_COOKIE_CHECK_FAILURE", "CORRUPT_LIST_ENTRY",
    "INCORRECT_STACK", "INVALID_ARG", "GS_COOKIE_INIT", "FATAL_APP_EXIT", "RANGE_CHECK_FAILURE",
    "UNSAFE_REGISTRY_ACCESS", "GUARD_ICALL_CHECK_FAILURE", "GUARD_WRITE_CHECK_FAILURE", "INVALID_FIBER_SWITCH",
    "INVALID_SET_OF_CONTEXT", "INVALID_REFERENCE_COUNT", nullptr, nullptr, nullptr, "INVALID_JUMP_BUFFER",
    "MRDATA_MODIFIED", "CERTIFICATION_FAILURE", "INVALID_EXCEPTION_CHAIN", "CRYPTO_LIBRARY",
    "INVALID_CALL_IN_DLL_CALLOUT", "INVALID_IMAGE_BASE", "DLOAD_PROTECTION_FAILURE", "UNSAFE_EXTENSION_CALL",
    "DEPRECATED_SERVICE_INVOKED", "INVALID_BUFFER_ACCESS", "INVALID_BALANCED_TREE", "INVALID_NEXT_THREAD",
    "GUARD_ICALL_CHECK_SUPPRESSED", "APCS_DISABLED", "INVALID_IDLE_STATE", "MRDATA_PROTECTION_FAILURE",
    "UNEXPECTED_HEAP_EXCEPTION", "INVALID_LOCK_STATE", "GUARD_JUMPTABLE", "INVALID_LONGJUMP_TARGET",
    "INVALID_DISPATCH_CONTEXT", "INVALID_THREAD", "INVALID_SYSCALL_NUMBER", "INVALID_FILE_OPERATION",
    "LPAC_ACCESS_DENIED", "GUARD_SS_FAILURE", "LOADER_CONTINUITY_FAILURE", "GUARD_EXPORT_SUPPRESSION_FAILURE",
    "INVALID_CONTROL_STACK", "SET_CONTEXT_DENIED", "INVALID_IAT", "HEAP_METADATA_CORRUPTION",
    "PAYLOAD_RESTRICTION_VIOLATION", "LOW_LABEL_ACCESS_DENIED", "ENCLAVE_CALL_FAILURE", "UNHANDLED_LSS_EXCEPTON",
    "ADMINLESS_ACCESS_DENIED", "UNEXPECTED_CALL", "CONTROL_INVALID_RETURN_ADDRESS", "UNEXPECTED_HOST_BEHAVIOR",
    "FLAGS_CORRUPTION", "VEH_CORRUPTION", "ETW_CORRUPTION", "RIO_ABORT", "INVALID_PFN",
    "GUARD_ICALL_CHECK_FAILURE_XFG", "CAST_GUARD", "HOST_VISIBILITY_CHANGE", "KERNEL_CET_SHADOW_STACK_ASSIST",
    "PATCH_CALLBACK_FAILED", "NTDLL_PATCH_FAILED", "INVALID_FLS_DATA", "ASAN_ERROR", "CLR_EXCEPTION_AOT",
    "POINTER_AUTH_INVALID_RETURN_ADDRESS", "INVALID_THREAD_STATE", "CORRUPT_WOW64_STATE",
    "INVALID_EXTENDED_STATE", "KERNEL_POINTER_EXPECTED"};

// "STATUS_STACK_BUFFER_OVERRUN / FAST_FAIL_FATAL_APP_EXIT" for a fast fail's code.
std::string FastFailName(std::uint64_t code) {
  if (code < std::size(kFastFailCodes) && kFastFailCodes[code] != nullptr) {
    return fmt::format("STATUS_STACK_BUFFER_OVERRUN / FAST_FAIL_{}", kFastFailCodes[code]);
  }
  if (code == 0xFFFFFFFF) return "STATUS_STACK_BUFFER_OVERRUN / FAST_FAIL_INVALID_FAST_FAIL_CODE";
  return fmt::format("STATUS_STACK_BUFFER_OVERRUN / FAST_FAIL code {}", code);
}

// Processors whose addresses are 32 bits: a dump of one may still carry a 64-bit value
// with the upper half set where an address should be (dbghelp on 32-bit Windows does so
// with an access violation's address).
bool ThirtyTwoBit(const std::optional<Summary::System>& system) {
  return system && system->arch && (*system->arch == "x86" || *system->arch == "arm");
}

// Crashpad and Breakpad put the signal number in the exception code on Linux and Android...
constexpr Named kSignals[] = {{4, "SIGILL"}, {5, "SIGTRAP"}, {6, "SIGABRT"}, {7, "SIGBUS"},
                              {8, "SIGFPE"}, {11, "SIGSEGV"}, {31, "SIGSYS"}};
// ...and the Mach exception type on macOS and iOS.
constexpr Named kMachExceptions[] = {
    {1, "EXC_BAD_ACCESS"}, {2, "EXC_BAD_INSTRUCTION"}, {3, "EXC_ARITHMETIC"}, {4, "EXC_EMULATION"},
    {5, "EXC_SOFTWARE"},   {6, "EXC_BREAKPOINT"},      {10, "EXC_CRASH"},     {11, "EXC_RESOURCE"},
    {12, "EXC_GUARD"}};

constexpr Named kPlatforms[] = {
    {0, "windows"},   {1, "windows"},   {2, "windows"}, {3, "windows"},  {0x8000, "unix"},
    {0x8101, "macos"}, {0x8102, "ios"}, {0x8201, "linux"}, {0x8202, "solaris"}, {0x8203, "android"},
    {0x8204, "ps3"},  {0x8205, "nacl"}, {0x8206, "fuchsia"}};

constexpr Named kArchitectures[] = {
    {0, "x86"},     {1, "mips"},     {2, "alpha"},   {3, "ppc"},      {4, "shx"},
    {5, "arm"},     {6, "ia64"},     {7, "alpha64"}, {8, "msil"},     {9, "amd64"},
    {10, "x86"},    {12, "arm64"},   {0x8001, "sparc"}, {0x8002, "ppc64"}, {0x8003, "arm64"},
    {0x8004, "mips64"}, {0x8005, "riscv"}, {0x8006, "riscv64"}};

template <std::size_t N>
std::optional<std::string> Lookup(const Named (&table)[N], std::uint32_t value) {
  for (const Named& row : table) {
    if (row.value == value) return row.name;
  }
  return std::nullopt;
}

// a.b.c.d with four numbers of at most 65535, as the capture writes the file version: at
// most 5 digits each, so that "000001.0.0.0" is none.
bool IsVersion(std::string_view text) {
  const std::optional<std::vector<unsigned long>> numbers = VersionNumbers(text, 5);
  return numbers && numbers->size() == 4 && std::all_of(numbers->begin(), numbers->end(), [](unsigned long n) {
           return n <= common::kMaxVersionNumber;
         });
}

// "key=value" lines of the comment stream, with the capture's layout in mind: the
// client's own lines stand between the advice line and the first module line.
Summary::Report SplitReport(const std::string& text, bool cut) {
  Summary::Report report;
  report.cut = cut;
  enum { kBefore, kClient, kAfter } where = kBefore;
  std::unordered_set<std::string> seen;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ++report.lines;
    if (where == kClient && line.rfind("runtime.module.", 0) == 0) where = kAfter;
    if (where == kClient) report.client_text.push_back(line);
    if (where == kBefore && line.rfind("fault.advice=", 0) == 0) where = kClient;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos || equals == 0) continue;
    std::string key = line.substr(0, equals);
    if (seen.insert(key).second) report.fields.emplace_back(std::move(key), line.substr(equals + 1));
  }
  return report;
}

std::optional<std::string> AdviceGroupName(const std::u16string& module) {
  switch (common::ClassifyModuleName(module.c_str())) {
    case common::AdviceGroup::kNvidiaDriver: return "nvidia-driver";
    case common::AdviceGroup::kXSplit: return "xsplit";
    case common::AdviceGroup::kOverlayHook: return "overlay-hook";
    case common::AdviceGroup::kInjectedModule: return "injected-module";
    case common::AdviceGroup::kDirect3D: return "direct3d";
    case common::AdviceGroup::kNone: break;
  }
  return std::nullopt;
}

bool Fill(Summary* s, const Minidump& dump, const StackOptions& options, std::string* why) {
  // Writers that keep no time leave the stamp at zero.
  if (dump.header().time_date_stamp != 0) s->dump_time = UtcTime(dump.header().time_date_stamp);

  std::optional<SystemInfo> system;
  if (!dump.ReadSystemInfo(&system, why)) return false;
  if (system) {
    Summary::System out;
    out.os = Lookup(kPlatforms, system->platform_id).value_or("unknown");
    out.os_version = fmt::format("{}.{}.{}", system->major_version, system->minor_version, system->build_number);
    out.arch = Lookup(kArchitectures, system->processor_architecture).value_or("unknown");
    s->system = out;
  }

  std::vector<Module> modules;
  if (!dump.ReadModules(&modules, why)) return false;
  for (const Module& m : modules) {
    Summary::ModuleRow row;
    const std::u16string name = FileNameOf(m.path);
    row.path = Utf8FromUtf16(m.path);
    row.name = Utf8FromUtf16(name);
    row.base = m.base;
    row.size = m.size;
    row.time_date_stamp = m.time_date_stamp;
    if (m.version.Present()) {
      row.version = VersionText(m.version.file_version_ms, m.version.file_version_ls);
      if (m.version.product_version_ms != 0 || m.version.product_version_ls != 0) {
        row.product_version = VersionText(m.version.product_version_ms, m.version.product_version_ls);
      }
    }
    if (!s->client_version && common::EqualsIgnoringAsciiCase(name.c_str(), u"Client.exe")) {
      s->client_version = row.version;
    }
    s->modules.push_back(std::move(row));
  }

  std::optional<ExceptionInfo> exception;
  if (!dump.ReadException(&exception, why)) return false;
  if (exception) {
    Summary::Exception e;
    const std::uint64_t mask = ThirtyTwoBit(s->system) ? 0xFFFFFFFF : UINT64_MAX;
    e.code = exception->code;
    e.address = exception->address & mask;
    e.thread = exception->thread_id;
    const std::string os = s->system && s->system->os ? *s->system->os : "windows";
    if (os == "linux" || os == "android") {
      e.name = Lookup(kSignals, e.code);
    } else if (os == "macos" || os == "ios") {
      e.name = Lookup(kMachExceptions, e.code);
    } else {
      e.name = Lookup(kWindowsExceptions, e.code);
      if (e.code == 0xC0000409 && !exception->parameters.empty()) e.name = FastFailName(exception->parameters[0]);
      // An access violation's first two parameters say what was tried and where.
      if ((e.code == 0xC0000005 || e.code == 0xC0000006) && exception->parameters.size() >= 2) {
        const std::uint64_t kind = exception->parameters[0];
        e.access = kind == 0 ? std::optional<std::string>("read")
                   : kind == 1 ? std::optional<std::string>("write")
                   : kind == 8 ? std::optional<std::string>("execute")
                               : std::nullopt;
        e.target = exception->parameters[1] & mask;
      }
    }
    s->exception = e;

    Summary::Fault fault;
    std::vector<ModuleView> views;
    for (const Module& m : modules) views.push_back({m.base, m.size});
    const ModuleMap map(std::move(views));
    if (const ModuleView* m = map.Holding(e.address)) {
      const Summary::ModuleRow& row = s->modules[m->index];
      fault.module = row.name;
      fault.offset = e.address - m->base;
      fault.module_version = row.version;
      fault.module_product_version = row.product_version;
      s->advice = AdviceGroupName(FileNameOf(modules[m->index].path));  // the patterns are UTF-16
    }
    s->fault = fault;
  }

  std::optional<std::string> comment;
  bool cut = false;
  if (!dump.ReadComment(&comment, &cut, why)) return false;
  if (comment) s->report = SplitReport(*comment, cut);

  std::optional<MiscInfo> misc;
  if (!dump.ReadMiscInfo(&misc, why)) return false;
  if (misc) s->process_id = misc->process_id;

  MemoryLists lists;
  if (!dump.ReadMemoryLists(&lists, why)) return false;
  s->thread_count = lists.threads.size();
  // Writers on other systems store x86 and x64 contexts in the layout Windows uses.
  const std::string arch = s->system && s->system->arch ? *s->system->arch : "";
  if (arch == "amd64" || arch == "x86") {
    DumpStacks stacks = WalkStacks(dump, arch == "x86" ? Cpu::kX86 : Cpu::kAmd64, modules, lists, exception, options);
    s->stack = std::move(stacks.crashing);
    s->thread_stacks = std::move(stacks.threads);
  }

  // Names are the program's decoration of its threads: a name list that cannot be read
  // costs the names, not the dump.
  std::vector<ThreadName> names;
  std::string ignored;
  if (dump.ReadThreadNames(&names, &ignored)) {
    std::unordered_map<std::uint32_t, std::string> by_thread;
    for (const ThreadName& n : names) by_thread.emplace(n.thread_id, Utf8FromUtf16(n.name));
    auto name_of = [&](std::uint32_t thread) -> std::optional<std::string> {
      const auto it = by_thread.find(thread);
      if (it == by_thread.end() || it->second.empty()) return std::nullopt;
      return it->second;
    };
    if (s->exception) s->exception->thread_name = name_of(s->exception->thread);
    if (s->thread_stacks) {
      for (ThreadStack& t : *s->thread_stacks) t.name = name_of(t.thread);
    }
  }
  return true;
}

}  // namespace

std::optional<DumpName> ParseDumpName(std::string_view name) {
  if (!HasDumpExtension(name)) return std::nullopt;
  name.remove_suffix(common::kDumpExtension.view().size());
  if (!name.starts_with(common::kDumpNamePrefix.view())) return std::nullopt;
  DumpName out;
  name.remove_prefix(common::kDumpNamePrefix.view().size());  // leaving "[_Dev]_<version>..."
  if (name.starts_with(common::kDevelopmentMark.view())) {
    out.development = true;
    name.remove_prefix(common::kDevelopmentMark.view().size());
  }
  // _<version>_<yyyy-mm-dd>_<hh-mm-ss>, then [_<tag>]_<language>
  if (name.empty() || name[0] != '_') return std::nullopt;
  const std::size_t version_end = name.find('_', 1);
  if (version_end == std::string_view::npos) return std::nullopt;
  out.version = std::string(name.substr(1, version_end - 1));
  if (!IsVersion(out.version)) return std::nullopt;
  name.remove_prefix(version_end);
  if (name.size() < 21 || name[0] != '_' || name[11] != '_' || name[5] != '-' || name[8] != '-' ||
      name[14] != '-' || name[17] != '-') {
    return std::nullopt;
  }
  const std::string_view year = name.substr(1, 4), month = name.substr(6, 2), day = name.substr(9, 2),
                         hour = name.substr(12, 2), minute = name.substr(15, 2), second = name.substr(18, 2);
  if (!Digits(year, 4) || !Digits(month, 2) || !Digits(day, 2) || !Digits(hour, 2) || !Digits(minute, 2) ||
      !Digits(second, 2) || Number(month) < 1 || Number(month) > 12 || Number(day) < 1 || Number(day) > 31 ||
      Number(hour) > 23 || Number(minute) > 59 || Number(second) > 59) {
    return std::nullopt;
  }
  out.time = std::string(year) + "-" + std::string(month) + "-" + std::string(day) + "T" + std::string(hour) +
             ":" + std::string(minute) + ":" + std::string(second);
  name.remove_prefix(20);  // "_<tag>_<language>" or "_<language>"
  const std::size_t last = name.rfind('_');
  if (name.empty() || name[0] != '_' || last == std::string_view::npos) return std::nullopt;
  // The capture keeps the A-Z and 0-9 of the game's language, at most as many as its buffer holds.
  out.language = std::string(name.substr(last + 1));
  if (out.language.empty() || out.language.size() > common::kLanguageCapacity - 1) return std::nullopt;
  for (char c : out.language) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return std::nullopt;
  }
  if (last > 0) out.tag = std::string(name.substr(1, last - 1));
  return out;
}

Summary Unreadable(std::string file, std::string_view file_name, std::string why) {
  Summary s;
  s.file = std::move(file);
  s.name = ParseDumpName(file_name);
  s.error = std::move(why);
  return s;
}

Summary Summarize(const RangeReader& input, std::string file, std::string_view file_name,
                  const StackOptions& options) {
  std::string why;
  const std::optional<Minidump> dump = Minidump::Open(input, &why);
  if (!dump) return Unreadable(std::move(file), file_name, std::move(why));
  Summary s;
  s.file = std::move(file);
  s.name = ParseDumpName(file_name);
  if (!Fill(&s, *dump, options, &why)) return Unreadable(std::move(s.file), file_name, std::move(why));
  s.readable = true;
  if (s.name) {
    s.time = s.name->time;
    s.time_source = "name";
  } else if (dump->header().time_date_stamp != 0) {
    s.time = CentralEuropeanTime(dump->header().time_date_stamp);
    s.time_source = "dump";
  }
  return s;
}

}  // namespace triage
