// The call stack of one thread of an x64 Windows dump. Frame 0 is the thread's context;
// each caller is found by the x64 unwind data of the module file when it is at hand
// (cfi), else by scanning the stack for the next word that points into a module (scan).
// The walk reads only what the dump holds of the stack, stops at a bounded depth and
// whenever the stack pointer does not grow, so a hostile dump cannot make it loop.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "triage/minidump.h"
#include "triage/pe_image.h"

namespace triage {

enum class FrameTrust { kContext, kCfi, kScan };
const char* TrustName(FrameTrust trust);

struct RawFrame {
  std::uint64_t address = 0;  // frame 0: the instruction pointer; callers: the return address
  std::uint64_t stack_pointer = 0;
  FrameTrust trust = FrameTrust::kContext;
};

// Where a module of the dump lies and, when its file is at hand, the file.
struct ModuleView {
  std::uint64_t base = 0;
  std::uint64_t size = 0;
  const PeImage* image = nullptr;
};

class ModuleMap {
 public:
  explicit ModuleMap(const std::vector<ModuleView>& modules);
  // The index (in the vector given) of the module holding `address`.
  std::optional<std::size_t> IndexOf(std::uint64_t address) const;
  const ModuleView& operator[](std::size_t index) const { return modules_[index]; }

 private:
  std::vector<ModuleView> modules_;
  std::vector<std::size_t> by_base_;
};

// One step of x64 unwinding by the function's unwind data, as the Windows unwinder does
// it: `regs` becomes the caller's. `first` is true for frame 0 (its instruction pointer
// may lie in a prolog or an epilog); for callers it is a return address. False, with
// `regs` of no meaning, on anything inconsistent: unreadable unwind data or stack, an
// unknown unwind code, a chain that does not end.
bool UnwindStep(const PeImage& image, std::uint64_t base, const ProcessMemory& memory, bool first, Amd64Context* regs);

struct StackBounds {
  std::uint64_t low = 0;
  std::uint64_t high = 0;  // one past the last byte the dump holds of the stack
};

class StackWalker {
 public:
  static constexpr std::size_t kMaxFrames = 64;
  static constexpr std::uint64_t kMaxScanBytes = 1u << 20;

  StackWalker(const ModuleMap& modules, const ProcessMemory& memory) : modules_(modules), memory_(memory) {}
  std::vector<RawFrame> Walk(const Amd64Context& context, StackBounds bounds) const;

 private:
  // Whether `address` lies in a module, and in an executable section when its file is at hand.
  bool ReturnsIntoCode(std::uint64_t address) const;
  // The next stack word at or above `from` that points into a module's code.
  std::optional<std::uint64_t> Scan(std::uint64_t from, StackBounds bounds, std::uint64_t* value) const;

  const ModuleMap& modules_;
  const ProcessMemory& memory_;
};

}  // namespace triage
