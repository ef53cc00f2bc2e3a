#include "capture/process_win.h"

#include <windows.h>

#include <cstdint>

namespace capture {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text passes to the wide calls as is");

// Capacities beyond a DWORD are cut; the platform never needs more than it can count.
DWORD ClampToDword(std::size_t value) {
  return value > MAXDWORD ? MAXDWORD : static_cast<DWORD>(value);
}

}  // namespace

bool WinProcessPort::ImagePath(Handle process, char16_t* buffer, std::size_t capacity) {
  DWORD size = ClampToDword(capacity);  // in: capacity in units; out: length without terminator
  return QueryFullProcessImageNameW(static_cast<HANDLE>(process),  // hProcess
                                    0,                               // dwFlags: Win32 path form
                                    reinterpret_cast<wchar_t*>(buffer),  // lpExeName
                                    &size) != FALSE;                 // lpdwSize
}

bool WinProcessPort::ReadMemory(Handle process, std::uint64_t address, void* dest, std::size_t size,
                                std::size_t* bytes_read) {
  SIZE_T read = 0;
  const BOOL ok = ReadProcessMemory(static_cast<HANDLE>(process),  // hProcess
                                    reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(address)),  // lpBaseAddress
                                    dest,   // lpBuffer
                                    size,   // nSize
                                    &read);  // lpNumberOfBytesRead: also set on a partial copy
  *bytes_read = read;
  return ok != FALSE;
}

std::uint32_t WinProcessPort::ProcessId(Handle process) {
  return GetProcessId(static_cast<HANDLE>(process));  // 0 on failure
}

std::uint32_t WinProcessPort::ThreadId(Handle thread) {
  return GetThreadId(static_cast<HANDLE>(thread));  // 0 on failure
}

}  // namespace capture
