#include "capture/report.h"

#include "capture/advice.h"
#include "capture/modules.h"
#include "capture/report_text.h"
#include "capture/utf8.h"

namespace capture {
namespace {

// The module list stops here so that a process with many modules cannot crowd out the
// rest of a report; the list is for a human reader.
constexpr std::uint32_t kMaxModuleLines = 128;

// Sizes of the UTF-8 work buffers. The client texts always fit whole (at most 3 bytes
// per UTF-16 unit of the block's terminated fields); a module name fits unless it is
// made of many non-ASCII characters.
constexpr std::size_t kModuleNameBytes = 260;
constexpr std::size_t kAdviceBytes = 1024;
constexpr std::size_t kReportText1Bytes = 8192;
constexpr std::size_t kReportText2Bytes = 49152;
static_assert(kReportText1Bytes >= 3 * (sizeof(CrashContextBlock::reportText1) / 2 - 1) + 1);
static_assert(kReportText2Bytes >= 3 * (sizeof(CrashContextBlock::reportText2) / 2 - 1) + 1);

void AppendModuleList(const CapturePorts& ports, Handle process, char* report,
                      std::size_t capacity) {
  if (process == nullptr) return;
  char name[kModuleNameBytes] = {};
  std::uint32_t index = 0;
  // No list rather than a wrong one: process id 0 gets no snapshot (see modules.h).
  ForEachModule(ports, ports.process.ProcessId(process), [&](const ModuleEntry& entry) {
    ToUtf8(entry.name, name, sizeof(name));
    BoundedAppend(report, capacity, "runtime.module.%lu=%s\r\n", {index, name});
    ++index;
    return index < kMaxModuleLines;
  });
}

}  // namespace

void ComposeReport(const CapturePorts& ports, const CrashInfo& info,
                   const CrashContextBlock* block, const char16_t* fault_module, char* report,
                   std::size_t capacity) {
  if (report == nullptr || capacity == 0) return;
  report[0] = '\0';

  // The work buffers live for this call only (about 58 KB of stack in all).
  char module_name[kModuleNameBytes] = {};
  char advice[kAdviceBytes] = {};
  char report_text1[kReportText1Bytes] = {};
  char report_text2[kReportText2Bytes] = {};

  ToUtf8(fault_module, module_name, sizeof(module_name));
  ToUtf8(FaultAdvice(fault_module), advice, sizeof(advice));
  if (block != nullptr) {
    ToUtf8(block->reportText1, report_text1, sizeof(report_text1));
    ToUtf8(block->reportText2, report_text2, sizeof(report_text2));
  }

  BoundedAppend(report, capacity, "crash.schema=2\r\n");
  BoundedAppend(report, capacity, "primary.captured=true\r\n");
  BoundedAppend(report, capacity, "primary.source=wer-out-of-process\r\n");
  BoundedAppend(report, capacity, "primary.synthetic=false\r\n");
  BoundedAppend(report, capacity, "primary.code=0x%08lX\r\n", {info.code});
  BoundedAppend(report, capacity, "primary.address=0x%p\r\n", {Address{info.address}});
  BoundedAppend(report, capacity, "primary.thread=%lu\r\n", {ports.process.ThreadId(info.thread)});
  BoundedAppend(report, capacity, "secondary.count=0\r\n");
  BoundedAppend(report, capacity, "fault.module=%s\r\n",
                {module_name[0] != '\0' ? module_name : "unknown"});
  BoundedAppend(report, capacity, "fault.advice=%s\r\n", {advice[0] != '\0' ? advice : "none"});
  // The client's texts enter byte for byte, line ends included; the client owns them.
  BoundedAppend(report, capacity, "%s", {report_text1});
  BoundedAppend(report, capacity, "%s", {report_text2});

  AppendModuleList(ports, info.process, report, capacity);
}

}  // namespace capture
