// The crashed process through kernel32: image path, memory, process and thread ids.
// Declares the class only, so that code without windows.h can instantiate it.
#pragma once

#include "capture/platform.h"

namespace capture {

class WinProcessPort final : public ProcessPort {
 public:
  bool ImagePath(Handle process, char16_t* buffer, std::size_t capacity) override;
  bool ReadMemory(Handle process, std::uint64_t address, void* dest, std::size_t size,
                  std::size_t* bytes_read) override;
  std::uint32_t ProcessId(Handle process) override;
  std::uint32_t ThreadId(Handle thread) override;
};

}  // namespace capture
