// Fakes of the crashed process and of its module snapshot for the unit tests: they
// carry arbitrary data, count calls, and can make any single call fail.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "capture/platform.h"

namespace fakes {

class FakeProcess : public capture::ProcessPort {
 public:
  std::u16string image_path = u"D:\\Game\\Client.exe";
  bool image_path_fails = false;
  // Memory of the process: `memory` is readable from `memory_base` on; a read that runs
  // past its end stops there and fails, as a read into unreserved address space does.
  std::uint64_t memory_base = 0x10000;
  std::vector<unsigned char> memory;
  bool read_fails = false;
  std::uint32_t process_id = 4242;
  std::uint32_t thread_id = 11872;
  int read_calls = 0;

  bool ImagePath(capture::Handle, char16_t* buffer, std::size_t capacity) override {
    if (image_path_fails || image_path.size() + 1 > capacity) return false;
    std::memcpy(buffer, image_path.c_str(), (image_path.size() + 1) * sizeof(char16_t));
    return true;
  }
  bool ReadMemory(capture::Handle, std::uint64_t address, void* dest, std::size_t size,
                  std::size_t* bytes_read) override {
    ++read_calls;
    *bytes_read = 0;
    if (read_fails || address < memory_base || address - memory_base >= memory.size()) return false;
    const std::size_t offset = static_cast<std::size_t>(address - memory_base);
    const std::size_t available = memory.size() - offset;
    const std::size_t count = size < available ? size : available;
    std::memcpy(dest, memory.data() + offset, count);
    *bytes_read = count;
    return count == size;
  }
  std::uint32_t ProcessId(capture::Handle process) override { return process ? process_id : 0; }
  std::uint32_t ThreadId(capture::Handle thread) override { return thread ? thread_id : 0; }
};

class FakeModules : public capture::ModulePort {
 public:
  struct Module {
    std::uint64_t base;
    std::uint64_t size;
    std::u16string name;
  };
  std::vector<Module> modules;
  bool open_fails = false;
  bool first_fails = false;
  int open_snapshots = 0;  // opened and not yet closed
  int snapshots_taken = 0;

  capture::Handle OpenSnapshot(std::uint32_t) override {
    if (open_fails) return capture::InvalidHandle();
    ++open_snapshots;
    ++snapshots_taken;
    return reinterpret_cast<capture::Handle>(static_cast<std::uintptr_t>(0x5000 + snapshots_taken));
  }
  bool FirstModule(capture::Handle, capture::ModuleEntry* entry) override {
    next_ = 0;
    if (first_fails) return false;
    return NextModule(nullptr, entry);
  }
  bool NextModule(capture::Handle, capture::ModuleEntry* entry) override {
    if (next_ >= modules.size()) return false;
    const Module& m = modules[next_++];
    entry->base = m.base;
    entry->size = m.size;
    std::memset(entry->name, 0, sizeof(entry->name));
    std::memcpy(entry->name, m.name.c_str(), std::min<std::size_t>(m.name.size(), 255) * sizeof(char16_t));
    return true;
  }
  void CloseSnapshot(capture::Handle) override { --open_snapshots; }

 private:
  std::size_t next_ = 0;
};

}  // namespace fakes
