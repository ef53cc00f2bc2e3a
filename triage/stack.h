// The call stack of one thread of an x64 Windows dump. Frame 0 is the thread's context;
// each caller is found by the x64 unwind data of the module file when it is at hand
// (cfi), else by scanning the stack for the next word that points into a module (scan).
// The walk reads only what the dump holds of the stack, stops at a bounded depth and
// whenever the stack pointer does not grow, so a hostile dump cannot make it loop.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "triage/frame.h"
#include "triage/minidump.h"
#include "triage/pe_image.h"
#include "triage/range_map.h"
#include "triage/symbols.h"

namespace triage {

enum class Cpu { kX86, kAmd64 };

// The integer registers and the instruction pointer of one frame, numbered as the x64
// unwind data numbers them: RAX, RCX, RDX, RBX, RSP, RBP, RSI, RDI, R8 to R15. An x86
// frame uses the first eight, which come in the same order (EAX to EDI). Each register
// carries a mark: a step that finds a caller marks what it recovered, and a register it
// did not recover is unknown in the caller, so no later step builds on a stale value.
struct Registers {
  static constexpr int kSp = 4;
  static constexpr int kFp = 5;
  std::array<std::uint64_t, 16> gpr{};
  std::uint64_t ip = 0;
  std::uint16_t known = 0;  // bit r: gpr[r] holds this frame's value

  bool Known(int r) const { return ((known >> r) & 1) != 0; }
  void Set(int r, std::uint64_t value) {
    gpr[static_cast<std::size_t>(r)] = value;
    known = static_cast<std::uint16_t>(known | 1u << r);
  }
  std::uint64_t sp() const { return gpr[kSp]; }
  // A thread's context as the dump holds it: every register known.
  static Registers From(const Amd64Context& context);
  static Registers From(const X86Context& context);
};

struct RawFrame {
  std::uint64_t address = 0;  // frame 0: the instruction pointer; callers: the return address
  std::uint64_t stack_pointer = 0;
  FrameTrust trust = FrameTrust::kContext;
};

// Where a module of the dump lies, its file when at hand, and its section table when
// known: from the file, or from the module's headers where the dump's memory holds them.
struct ModuleView {
  std::uint64_t base = 0;
  std::uint64_t size = 0;
  const PeImage* image = nullptr;    // the file: unwind data, exports, sections, code
  const PeImage* headers = nullptr;  // the section table (the file's, or as mapped in the dump)
  std::size_t index = 0;             // in the list the map was made from
  friend Span Extent(const ModuleView& m) { return SpanOf(m.base, m.size); }
};

// The modules by address. Entries that overlap an earlier one (a damaged or hostile
// list) are left out, so every address has at most one module.
class ModuleMap {
 public:
  explicit ModuleMap(std::vector<ModuleView> modules);
  const ModuleView* Holding(std::uint64_t address) const { return modules_.Holding(address); }

 private:
  RangeMap<ModuleView> modules_;
};

// One step of x64 unwinding by the function's unwind data, as the Windows unwinder does
// it: `regs` becomes the caller's. `first` is true for frame 0 (its instruction pointer
// may lie in a prolog or an epilog); for callers it is a return address. False, with
// `regs` of no meaning, on anything inconsistent: unreadable unwind data or stack, an
// unknown unwind code, a chain that does not end.
// A step that needs a register the walk does not know fails rather than guess; of the
// caller's registers, those the unwind data restores are known, the other nonvolatile
// ones keep their marks and the volatile ones become unknown.
bool UnwindStep(const PeImage& image, std::uint64_t base, const ProcessMemory& memory, bool first, Registers* regs);

// Whether `code`, the bytes just before a return address (up to 7 of them), ends in one
// of the x86 and x64 call instructions: a relative call (E8) or an indirect one (FF /2,
// through a register or memory, any prefix before it).
bool EndsInCall(std::span<const std::uint8_t> code);

struct StackBounds {
  std::uint64_t low = 0;
  std::uint64_t high = 0;  // one past the last byte the dump holds of the stack
};

// Frame 0 from the context, then each caller by the first of the CPU's steps that finds
// one that is still a frame of this stack (x64: the unwind data, then scanning; x86: the
// frame pointer, then scanning), until the stack ends, no step finds one, kMaxFrames are
// found or the stack pointer would not grow.
class StackWalker {
 public:
  static constexpr std::size_t kMaxFrames = 64;
  static constexpr std::uint64_t kMaxScanBytes = 1u << 20;

  StackWalker(Cpu cpu, const ModuleMap& modules, const ProcessMemory& memory)
      : cpu_(cpu), modules_(modules), memory_(memory) {}
  std::vector<RawFrame> Walk(const Registers& context, StackBounds bounds) const;

 private:
  // The steps. Each gives the caller's registers, or nothing when it cannot tell.
  std::optional<Registers> ByUnwindData(const Registers& callee, bool first) const;
  std::optional<Registers> ByFramePointer(const Registers& callee) const;
  std::optional<Registers> ByScanning(const Registers& callee, StackBounds bounds) const;
  // What a step found is a frame of this stack: the stack pointer grew, stayed within
  // the stack, and the caller returns into a module's code.
  bool Plausible(const Registers& callee, const Registers& caller, StackBounds bounds) const;
  // Whether `address` follows code: the byte before it lies in a module, and in an
  // executable section where the module's section table is known.
  bool ReturnsIntoCode(std::uint64_t address) const;
  // Whether the bytes before `address` end in a call instruction; true when no code
  // bytes are at hand to tell.
  bool FollowsCall(std::uint64_t address) const;
  bool ReadWord(std::uint64_t address, std::uint64_t* value) const;
  std::uint64_t word() const { return cpu_ == Cpu::kX86 ? 4 : 8; }

  Cpu cpu_;
  const ModuleMap& modules_;
  const ProcessMemory& memory_;
};

struct StackOptions {
  SymbolStore* symbols = nullptr;  // module files and PDBs; without them stacks are scanned
  bool all_threads = false;
};

struct ThreadStack {
  std::uint32_t thread = 0;
  std::vector<NamedFrame> stack;
  std::optional<std::string> name;  // as the program named the thread, when the dump says
};

struct DumpStacks {
  std::vector<NamedFrame> crashing;  // the crashing thread's, from the exception's context
  // Every thread's, when asked for; the crashing thread's again from the exception's
  // context, since its own context in the dump is where the dump writer stopped it.
  std::optional<std::vector<ThreadStack>> threads;
};

// The stacks of a Windows dump of `cpu`, walked and named: its memory, its modules with
// their files where at hand, the walker and the names, in one call. A thread's stack is
// bounded by what the thread list says of it, or else by the memory range holding its
// stack pointer.
DumpStacks WalkStacks(const Minidump& dump, Cpu cpu, const std::vector<Module>& modules, const MemoryLists& lists,
                      const std::optional<ExceptionInfo>& exception, const StackOptions& options);

}  // namespace triage
