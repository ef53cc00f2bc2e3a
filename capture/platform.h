// The ports through which the capture logic reaches the platform. Each method stands
// for one platform call, so a fake can make any single call fail. The Windows adapters
// (files ending in _win.cpp) are thin; the logic behind these ports has no Windows header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace capture {

// An opaque platform handle (a Windows HANDLE on Windows).
using Handle = void*;
// Files and snapshots signal failure with this value, processes and threads with null.
inline Handle InvalidHandle() { return reinterpret_cast<Handle>(~std::uintptr_t{0}); }

// What the capture uses of the WER exception information.
struct CrashInfo {
  Handle process = nullptr;          // the crashed client (hProcess)
  Handle thread = nullptr;           // the faulting thread (hThread)
  std::uint32_t code = 0;            // exceptionRecord.ExceptionCode
  std::uint64_t address = 0;         // exceptionRecord.ExceptionAddress
  const void* exception_record = nullptr;  // address of exceptionRecord in the WER information
  const void* context = nullptr;           // address of context in the WER information
};

// A calendar time as the platform gives it; day of week and milliseconds are not used.
struct CalendarTime {
  std::uint16_t year = 0;
  std::uint16_t month = 0;
  std::uint16_t day = 0;
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
};

// One entry of a module snapshot of the crashed process.
struct ModuleEntry {
  std::uint64_t base = 0;
  std::uint64_t size = 0;
  char16_t name[256] = {};  // file name without directory, terminated
};

// The crashed process and its threads.
class ProcessPort {
 public:
  // QueryFullProcessImageNameW (flags 0): the image path, true only on success.
  virtual bool ImagePath(Handle process, char16_t* buffer, std::size_t capacity) = 0;
  // ReadProcessMemory: reads `size` bytes at `address`; `*bytes_read` gets the count.
  virtual bool ReadMemory(Handle process, std::uint64_t address, void* dest, std::size_t size,
                          std::size_t* bytes_read) = 0;
  // GetProcessId / GetThreadId: 0 when the platform cannot give it.
  virtual std::uint32_t ProcessId(Handle process) = 0;
  virtual std::uint32_t ThreadId(Handle thread) = 0;

 protected:
  ~ProcessPort() = default;
};

// Module snapshot of a process (Toolhelp on Windows).
class ModulePort {
 public:
  // CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, pid); InvalidHandle() on failure.
  virtual Handle OpenSnapshot(std::uint32_t process_id) = 0;
  // Module32FirstW / Module32NextW: true while an entry was stored.
  virtual bool FirstModule(Handle snapshot, ModuleEntry* entry) = 0;
  virtual bool NextModule(Handle snapshot, ModuleEntry* entry) = 0;
  // CloseHandle on the snapshot.
  virtual void CloseSnapshot(Handle snapshot) = 0;

 protected:
  ~ModulePort() = default;
};

}  // namespace capture
