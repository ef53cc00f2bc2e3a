#include "capture/capture.h"

#include <array>
#include <cstring>
#include <iterator>

#include "capture/context_block_read.h"
#include "capture/dump_path.h"
#include "capture/modules.h"
#include "capture/report.h"
#include "capture/system_library.h"
#include "capture/temporary_files.h"
#include "capture/unique_handle.h"
#include "common/bounded_string.h"

namespace capture {
namespace {

using common::BoundedCopy;
using common::BoundedFormat;
using common::Succeeded;

using PathBuffer = std::array<char16_t, kPathCapacity>;

// Microsoft lists bIsFatal without describing it. We take FALSE to mean a report about a
// process that goes on running (a hang report, perhaps), which a capture would announce
// to the player as a crash: our reading, not Microsoft's words. Before Windows 10 2004
// the structure has no such field, yet on x64 the older one's
// sizeof equals the newer one's (CONTEXT is 16-byte aligned), so an older WER's dwSize
// covers four bytes of padding where bIsFatal lies: they mean something only on a
// Windows that fills them. A build that cannot be had counts as older, since a crash
// captured when it was not one costs less than one lost. A structure too short to hold
// the exception record and the context is not captured at all.
bool IsCrashToCapture(const CapturePorts& ports, const CrashInfo& info) {
  if (info.size < kInfoSizeWithContext) return false;
  if (info.size < kInfoSizeWithFatalFlag || info.fatal) return true;
  std::uint32_t build = 0;
  return !ports.system.WindowsBuild(&build) || build < kFirstBuildWithFatalFlag;
}

struct DumpPaths {
  PathBuffer dump{};        // the final name, in the crash folder
  PathBuffer temp{};        // the name the dump is written under until it is committed
  PathBuffer client_dir{};  // the folder of Client.exe, which also holds the notifier
};

// The dump's final and temporary names and the client directory: no file is written
// before both names are known to fit.
bool ComposeDumpPaths(const CapturePorts& ports, const CrashInfo& info,
                      std::uint64_t context_address, DumpPaths* paths) {
  return BuildDumpPath(ports, &info, context_address, paths->dump.data(), paths->dump.size(),
                       paths->client_dir.data(), paths->client_dir.size()) &&
         ComposeTemporaryPath(paths->dump.data(), paths->temp.data(), paths->temp.size());
}

// The crash report and the fault module it names. What cannot be read here only costs the
// report its part: the client's texts without the block, the module without a snapshot.
void GatherReport(const CapturePorts& ports, const CrashInfo& info, std::uint32_t process_id,
                  std::uint64_t context_address, PathBuffer& fault_module,
                  std::array<char, kReportCapacity>& report) {
  CrashContextBlock block;
  std::memset(&block, 0, sizeof(block));
  const bool block_read = ReadContextBlock(ports.process, info.process, context_address, &block);
  FindFaultModule(ports, process_id, info.address, fault_module.data(), fault_module.size());
  ComposeReport(ports, info, block_read ? &block : nullptr, fault_module.data(), report.data(),
                report.size());
  report[report.size() - 1] = '\0';
}

// A virus scanner opens a file as soon as its writer has closed it, and for that moment
// a rename or delete of the file fails with a sharing violation or "access denied". Only
// those failures are tried again, after the pauses of kBusyFilePausesMs; any other
// failure ends at once. Each rename and each delete has a budget of its own, so a rename
// that used its whole second still leaves the delete after it a second of retries.
class BusyFileRetries {
 public:
  // Called right after a failed rename or delete: true, once the pause is over, when
  // another attempt is worth it.
  bool PauseBeforeRetry(const CapturePorts& ports) {
    const std::uint32_t error = ports.system.LastError();
    if (error != kErrorSharingViolation && error != kErrorAccessDenied) return false;
    if (next_ == std::size(kBusyFilePausesMs)) return false;
    ports.clock.Sleep(kBusyFilePausesMs[next_++]);
    return true;
  }

 private:
  std::size_t next_ = 0;
};

bool MoveWithRetries(const CapturePorts& ports, const char16_t* from, const char16_t* to) {
  BusyFileRetries retries;
  while (!ports.files.MoveReplacing(from, to)) {
    if (!retries.PauseBeforeRetry(ports)) return false;
  }
  return true;
}

void DeleteWithRetries(const CapturePorts& ports, const char16_t* path) {
  BusyFileRetries retries;
  while (!ports.files.Delete(path) && retries.PauseBeforeRetry(ports)) {
  }
}

// No reader ever sees a half-written file: `write_and_check` fills a fresh file at
// `temp`, which gets `final_path` only by the rename, replacing an older file of that
// name. The temporary file is created new, never opened: CreateFileW follows a link that
// stands under the name when it opens an existing file, and with CREATE_NEW any existing
// name, link or not, fails the create instead. The delete before it takes a file left by
// a capture that died half-way, or a link itself (never its target). Whatever fails, the
// temporary file goes and nothing else of the attempt is left.
template <typename WriteAndCheck>
bool CommitThroughTemporaryFile(const CapturePorts& ports, const char16_t* temp,
                                const char16_t* final_path, WriteAndCheck write_and_check) {
  ports.files.Delete(temp);
  {
    UniqueFileHandle file(ports.handles, ports.files.CreateNew(temp));
    // Another capture's file of the same name, or one that cannot be removed: not ours.
    if (!file.valid()) return false;
    if (!write_and_check(file.get())) {
      file.Close();
      DeleteWithRetries(ports, temp);
      return false;
    }
  }  // closed before the rename
  if (MoveWithRetries(ports, temp, final_path)) return true;
  DeleteWithRetries(ports, temp);
  return false;
}

// Writes the dump into the open temporary file and checks what landed on disk: the
// writer's own success says nothing about whether the bytes reached the file.
bool WriteAndCheckDump(const CapturePorts& ports, const CrashInfo& info, std::uint32_t process_id,
                       Handle file, const char* report) {
  DumpRequest request;
  request.process = info.process;
  request.process_id = process_id;
  request.file = file;
  request.dump_type = kDumpType;
  request.thread_id = ports.process.ThreadId(info.thread);
  request.exception_record = info.exception_record;
  request.context = info.context;
  request.stream_type = kCommentStreamA;
  request.stream = report;
  request.stream_size = static_cast<std::uint32_t>(std::strlen(report) + 1);  // with its NUL
  const SystemLibrary dbghelp(ports, u"dbghelp.dll");
  if (!dbghelp.valid() || !ports.dumps.WriteDump(dbghelp.get(), request)) return false;
  if (!ports.files.Flush(file)) return false;
  std::uint64_t size = 0;
  if (!ports.files.Size(file, &size)) return false;
  return size >= kMinimumDumpSize;
}

// Starts the notifier from the client directory without waiting for it. Nothing here
// can undo a committed dump, so every failure just means no notifier.
void StartNotifier(const CapturePorts& ports, const char16_t* client_dir,
                   const char16_t* fault_module) {
  if (client_dir[0] == u'\0') return;
  PathBuffer notifier{};
  if (!Succeeded(BoundedFormat(notifier.data(), notifier.size(), u"%s\\Brisvane.exe",
                               {client_dir}))) {
    return;
  }
  if (ports.files.Kind(notifier.data()) != PathKind::kFile) return;

  std::array<char16_t, kCommandLineCapacity> command_line{};
  if (!Succeeded(BoundedFormat(command_line.data(), command_line.size(),
                               u"\"%s\" --module=\"%s\"", {notifier.data(), fault_module}))) {
    return;
  }
  StartedProcess started;
  if (!ports.starter.Start(notifier.data(), command_line.data(), client_dir, &started)) return;
  // The notifier is never waited for and its outcome never asked: both handles go at
  // once, the thread's first (owners close in the reverse order of their making).
  const UniqueProcessHandle process(ports.handles, started.process);
  const UniqueProcessHandle thread(ports.handles, started.thread);
}

}  // namespace

bool WriteReportTextFile(const CapturePorts& ports, const char16_t* dump_path, const char* report,
                         std::size_t report_length) {
  PathBuffer path{};
  if (!Succeeded(BoundedCopy(path.data(), path.size(), dump_path))) return false;
  const std::size_t length = common::Length(path.data());
  std::size_t dot = length;
  for (std::size_t i = length; i > 0; --i) {
    if (path[i - 1] == u'.') {
      dot = i - 1;
      break;
    }
  }
  if (dot == length) return false;
  if (!Succeeded(BoundedCopy(path.data() + dot, path.size() - dot, u".txt"))) return false;

  PathBuffer temp{};
  if (!ComposeTemporaryPath(path.data(), temp.data(), temp.size())) return false;

  // A report cut short beside a good dump would pass for the whole one: only a report
  // written whole and flushed gets the name.
  const auto size = static_cast<std::uint32_t>(report_length);
  return CommitThroughTemporaryFile(ports, temp.data(), path.data(), [&](Handle file) {
    std::uint32_t written = 0;
    return ports.files.Write(file, report, size, &written) && written == size &&
           ports.files.Flush(file);
  });
}

bool Capture(const CapturePorts& ports, const CrashInfo* info, std::uint64_t context_address) {
  // Decline what is not the client's crash: the builder refuses any other image.
  if (info == nullptr || info->process == nullptr || !IsCrashToCapture(ports, *info)) return false;
  // Process id 0 names the calling process, the WER host, to the dump writer and the
  // module snapshot alike: without the client's id there is nothing to capture.
  const std::uint32_t process_id = ports.process.ProcessId(info->process);
  if (process_id == 0) return false;
  DumpPaths paths;
  if (!ComposeDumpPaths(ports, *info, context_address, &paths)) return false;

  // Gather what the dump carries besides the process itself.
  PathBuffer fault_module{};
  std::array<char, kReportCapacity> report{};
  GatherReport(ports, *info, process_id, context_address, fault_module, report);

  // Commit.
  if (!CommitThroughTemporaryFile(ports, paths.temp.data(), paths.dump.data(), [&](Handle file) {
        return WriteAndCheckDump(ports, *info, process_id, file, report.data());
      })) {
    return false;
  }

  // Nothing after the commit can fail the capture.
  WriteReportTextFile(ports, paths.dump.data(), report.data(), std::strlen(report.data()));
  RemoveStaleTemporaryFiles(ports, paths.dump.data());
  StartNotifier(ports, paths.client_dir.data(), fault_module.data());
  return true;
}

}  // namespace capture
