#include "capture/capture.h"

#include <array>
#include <cstring>

#include "capture/context_block_read.h"
#include "capture/report.h"
#include "common/bounded_string.h"

namespace capture {
namespace {

using common::BoundedCopy;
using common::BoundedFormat;
using common::Succeeded;

// Owns a file handle of the FilePort so that it is closed on every path.
class FileOwner {
 public:
  FileOwner(FilePort& files, Handle handle) : files_(files), handle_(handle) {}
  FileOwner(const FileOwner&) = delete;
  FileOwner& operator=(const FileOwner&) = delete;
  ~FileOwner() { Close(); }

  bool valid() const { return handle_ != InvalidHandle(); }
  Handle get() const { return handle_; }
  void Close() {
    if (valid()) files_.Close(handle_);
    handle_ = InvalidHandle();
  }

 private:
  FilePort& files_;
  Handle handle_;
};

// Writes the dump into the open temporary file and checks what landed on disk: the
// writer's own success says nothing about whether the bytes reached the file.
bool WriteAndCheckDump(CapturePorts& ports, const CrashInfo& info, Handle file,
                       const char* report) {
  DumpRequest request;
  request.process = info.process;
  request.process_id = ports.naming.process.ProcessId(info.process);
  request.file = file;
  request.dump_type = kDumpType;
  request.thread_id = ports.naming.process.ThreadId(info.thread);
  request.exception_record = info.exception_record;
  request.context = info.context;
  request.stream_type = kCommentStreamA;
  request.stream = report;
  request.stream_size = static_cast<std::uint32_t>(std::strlen(report) + 1);  // with its NUL
  if (!ports.dumps.WriteDump(request)) return false;
  if (!ports.files.Flush(file)) return false;
  std::uint64_t size = 0;
  if (!ports.files.Size(file, &size)) return false;
  return size >= kMinimumDumpSize;
}

// Starts the notifier from the client directory without waiting for it. Nothing here
// can undo a committed dump, so every failure just means no notifier.
void StartNotifier(ProcessStartPort& starter, FilePort& files, const char16_t* client_dir,
                   const char16_t* fault_module) {
  if (client_dir[0] == u'\0') return;
  std::array<char16_t, kPathCapacity> notifier{};
  if (!Succeeded(BoundedFormat(notifier.data(), notifier.size(), u"%s\\Brisvane.exe",
                               {client_dir}))) {
    return;
  }
  if (files.Kind(notifier.data()) != PathKind::kFile) return;

  std::array<char16_t, kCommandLineCapacity> command_line{};
  if (!Succeeded(BoundedFormat(command_line.data(), command_line.size(),
                               u"\"%s\" --module=\"%s\"", {notifier.data(), fault_module}))) {
    return;
  }
  StartedProcess started;
  if (starter.Start(notifier.data(), command_line.data(), client_dir, &started)) {
    starter.CloseBoth(started);
  }
}

}  // namespace

void FindFaultModule(ModulePort& modules, std::uint32_t process_id, std::uint64_t address,
                     char16_t* name, std::size_t capacity) {
  if (name == nullptr || capacity == 0) return;
  name[0] = u'\0';
  const Handle snapshot = modules.OpenSnapshot(process_id);
  if (snapshot == InvalidHandle()) return;
  ModuleEntry entry;
  for (bool more = modules.FirstModule(snapshot, &entry); more;
       more = modules.NextModule(snapshot, &entry)) {
    // Measured from the base, so a module at the top of the address space cannot wrap.
    if (address >= entry.base && address - entry.base < entry.size) {
      entry.name[std::size(entry.name) - 1] = u'\0';
      if (!Succeeded(BoundedCopy(name, capacity, entry.name))) name[0] = u'\0';
      break;
    }
  }
  modules.CloseSnapshot(snapshot);
}

bool WriteReportTextFile(FilePort& files, const char16_t* dump_path, const char* report,
                         std::size_t report_length) {
  std::array<char16_t, kPathCapacity> path{};
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

  FileOwner file(files, files.CreateForWriting(path.data()));
  if (!file.valid()) return false;
  const auto size = static_cast<std::uint32_t>(report_length);
  std::uint32_t written = 0;
  const bool ok = files.Write(file.get(), report, size, &written);
  return ok && written == size;
}

bool Capture(CapturePorts ports, const CrashInfo* info, std::uint64_t context_address) {
  // 1. Nothing to capture without the crashed process.
  if (info == nullptr || info->process == nullptr) return false;

  // 2. Dump path and client directory; the builder also refuses anything but the client.
  std::array<char16_t, kPathCapacity> dump_path{};
  std::array<char16_t, kPathCapacity> client_dir{};
  if (!BuildDumpPath(ports.naming, info, context_address, dump_path.data(), dump_path.size(),
                     client_dir.data(), client_dir.size())) {
    return false;
  }

  // 3. The dump is written under a temporary name and only renamed once checked, so a
  // reader never sees a half-written .dmp.
  std::array<char16_t, kPathCapacity> temp_path{};
  if (!Succeeded(BoundedFormat(temp_path.data(), temp_path.size(), u"%s.tmp",
                               {dump_path.data()}))) {
    return false;
  }

  // 4. A block that cannot be read only costs the report the client's texts.
  CrashContextBlock block;
  std::memset(&block, 0, sizeof(block));
  const bool block_read =
      ReadContextBlock(ports.naming.process, info->process, context_address, &block);

  // 5. Fault module.
  std::array<char16_t, kPathCapacity> fault_module{};
  FindFaultModule(ports.modules, ports.naming.process.ProcessId(info->process), info->address,
                  fault_module.data(), fault_module.size());

  // 6. Report.
  std::array<char, kReportCapacity> report{};
  ComposeReport(ports.naming.process, ports.modules, *info, block_read ? &block : nullptr,
                fault_module.data(), report.data(), report.size());
  report[report.size() - 1] = '\0';

  // 7.-9. Write and check the dump in the temporary file.
  ports.files.Delete(temp_path.data());
  {
    FileOwner file(ports.files, ports.files.CreateForWriting(temp_path.data()));
    if (!file.valid()) return false;
    if (!WriteAndCheckDump(ports, *info, file.get(), report.data())) {
      file.Close();
      ports.files.Delete(temp_path.data());
      return false;
    }
  }  // 10. The file is closed before the rename.

  // 10. Commit, replacing an older dump of the same name.
  if (!ports.files.MoveReplacing(temp_path.data(), dump_path.data())) {
    ports.files.Delete(temp_path.data());
    return false;
  }

  // 11.-13. The dump is committed: the rest cannot fail the capture.
  WriteReportTextFile(ports.files, dump_path.data(), report.data(), std::strlen(report.data()));
  StartNotifier(ports.starter, ports.files, client_dir.data(), fault_module.data());
  return true;
}

}  // namespace capture
