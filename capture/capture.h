// The crash capture: writes a minidump of the crashed client with the crash report as
// its comment stream, commits it under its final name, writes the report text file
// beside it and starts the notifier. Portable: the platform is reached through the
// ports below (one method per platform call) and those of platform.h and dump_path.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/dump_path.h"
#include "capture/platform.h"

namespace capture {

// What GetFileAttributesW says about a path.
enum class PathKind { kMissing, kFile, kDirectory };

// Files, one method per platform call.
class FilePort {
 public:
  // DeleteFileW.
  virtual bool Delete(const char16_t* path) = 0;
  // CreateFileW(GENERIC_WRITE, FILE_SHARE_READ, no security attributes, CREATE_ALWAYS,
  // FILE_ATTRIBUTE_NORMAL): InvalidHandle() on failure.
  virtual Handle CreateForWriting(const char16_t* path) = 0;
  // WriteFile; `*written` gets the count of bytes written.
  virtual bool Write(Handle file, const void* data, std::uint32_t size,
                     std::uint32_t* written) = 0;
  // FlushFileBuffers.
  virtual bool Flush(Handle file) = 0;
  // GetFileSizeEx.
  virtual bool Size(Handle file, std::uint64_t* size) = 0;
  // CloseHandle.
  virtual void Close(Handle file) = 0;
  // MoveFileExW(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH).
  virtual bool MoveReplacing(const char16_t* from, const char16_t* to) = 0;
  // GetFileAttributesW: kMissing when the call fails.
  virtual PathKind Kind(const char16_t* path) = 0;

 protected:
  ~FilePort() = default;
};

// What the capture hands the minidump writer.
struct DumpRequest {
  Handle process = nullptr;
  std::uint32_t process_id = 0;
  Handle file = nullptr;
  std::uint32_t dump_type = 0;
  std::uint32_t thread_id = 0;
  // The pair the exception parameter points to; both point into the caller's own memory
  // (the WER information), so the writer passes ClientPointers = FALSE.
  const void* exception_record = nullptr;
  const void* context = nullptr;
  // The one user stream.
  std::uint32_t stream_type = 0;
  const void* stream = nullptr;
  std::uint32_t stream_size = 0;
};

// MiniDumpWriteDump with exactly one user stream and no callback.
class DumpWriterPort {
 public:
  virtual bool WriteDump(const DumpRequest& request) = 0;

 protected:
  ~DumpWriterPort() = default;
};

struct StartedProcess {
  Handle process = nullptr;
  Handle thread = nullptr;
};

// Starting the notifier.
class ProcessStartPort {
 public:
  // CreateProcessW(application, command_line, no attributes, no inheritance,
  // CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE, inherited environment,
  // current_dir, zeroed STARTUPINFOW): returns at once. `command_line` is writable, as
  // CreateProcessW demands.
  virtual bool Start(const char16_t* application, char16_t* command_line,
                     const char16_t* current_dir, StartedProcess* started) = 0;
  // CloseHandle of the thread, then of the process.
  virtual void CloseBoth(const StartedProcess& started) = 0;

 protected:
  ~ProcessStartPort() = default;
};

struct CapturePorts {
  NamingPorts naming;  // its `process` is the crashed client's port for the capture too
  ModulePort& modules;
  FilePort& files;
  DumpWriterPort& dumps;
  ProcessStartPort& starter;
};

inline constexpr std::size_t kPathCapacity = 260;
inline constexpr std::size_t kCommandLineCapacity = 520;
// MiniDumpWithDataSegs | MiniDumpWithHandleData | MiniDumpWithUnloadedModules |
// MiniDumpWithIndirectlyReferencedMemory | MiniDumpWithFullMemoryInfo | MiniDumpWithThreadInfo.
inline constexpr std::uint32_t kDumpType = 0x1865;
inline constexpr std::uint32_t kCommentStreamA = 10;
// A dump smaller than this cannot even hold the minidump header and is not kept.
inline constexpr std::uint64_t kMinimumDumpSize = 32;

// True when the dump was committed under its final name; the report text file and the
// notifier do not change the result. False leaves no file behind but the crash folder.
bool Capture(CapturePorts ports, const CrashInfo* info, std::uint64_t context_address);

// The file name of the module of `process_id` whose range holds `address` into `name`
// (capacity in units); empty when the snapshot fails or no module holds it.
void FindFaultModule(ModulePort& modules, std::uint32_t process_id, std::uint64_t address,
                     char16_t* name, std::size_t capacity);

// The report text file beside the dump: `dump_path` with its extension replaced by
// ".txt", holding `report` without its NUL. True only when every byte was written.
bool WriteReportTextFile(FilePort& files, const char16_t* dump_path, const char* report,
                         std::size_t report_length);

}  // namespace capture
