#include "triage/stack.h"

#include <algorithm>
#include <array>
#include <memory>
#include <unordered_map>

#include "common/little_endian.h"

namespace triage {

using common::Le16;
using common::Le32;
using common::Le64;
namespace {

// UNWIND_INFO flags and unwind operations of the x64 unwind data.
constexpr std::uint8_t kChainInfo = 0x4;
enum : std::uint8_t {
  kPushNonvol = 0,
  kAllocLarge = 1,
  kAllocSmall = 2,
  kSetFpreg = 3,
  kSaveNonvol = 4,
  kSaveNonvolFar = 5,
  kEpilogOrSaveXmm = 6,  // version 2: an epilog's location; version 1: an old XMM save
  kSpareOrSaveXmmFar = 7,
  kSaveXmm128 = 8,
  kSaveXmm128Far = 9,
  kPushMachframe = 10,
};
// Chains longer than this are a loop or a hostile file; real ones have one or two links.
constexpr int kMaxChain = 32;

// Unwind-code slots an operation takes, or 0 for an operation that does not exist.
int Slots(std::uint8_t op, std::uint8_t info) {
  switch (op) {
    case kPushNonvol:
    case kAllocSmall:
    case kSetFpreg:
    case kPushMachframe:
      return 1;
    case kAllocLarge:
      return info == 0 ? 2 : 3;
    case kSaveNonvol:
    case kEpilogOrSaveXmm:
    case kSaveXmm128:
      return 2;
    case kSaveNonvolFar:
    case kSpareOrSaveXmmFar:
    case kSaveXmm128Far:
      return 3;
    default:
      return 0;
  }
}

bool ReadWord(const ProcessMemory& memory, std::uint64_t address, std::uint64_t* value) {
  std::array<std::uint8_t, 8> b{};
  if (!memory.Read(address, b)) return false;
  *value = Le64(b.data());
  return true;
}

// Pops one word into register `r` of `regs`.
bool Restore(const ProcessMemory& memory, std::uint64_t address, int r, Registers* regs) {
  std::uint64_t value = 0;
  if (r == Registers::kSp || !ReadWord(memory, address, &value)) return false;
  regs->Set(r, value);
  return true;
}

// RAX, RCX, RDX and R8 to R11: a call does not keep them, so a caller's are unknown.
constexpr std::uint16_t kVolatile = 0x0F07;

// Frame 0 may have stopped inside an epilog, where the unwind codes no longer describe
// the stack: the Windows unwinder recognises the epilog by its instructions (an optional
// stack release, register pops, a return) and finishes it instead. Only the plain forms
// compilers emit are recognised; anything else is taken as the function's body.
bool FinishEpilog(const PeImage& image, std::uint32_t rva, const ProcessMemory& memory, Registers* regs) {
  std::array<std::uint8_t, 48> code{};
  std::size_t have = code.size();
  while (have > 0 && !image.ReadRva(rva, std::span(code).first(have))) have /= 2;
  if (have == 0 || !image.IsExecutable(rva)) return false;
  Registers next = *regs;
  std::size_t at = 0;
  auto left = [&](std::size_t n) { return at + n <= have; };
  auto s8 = [&](std::size_t i) { return static_cast<std::int64_t>(static_cast<std::int8_t>(code[i])); };
  auto s32 = [&](std::size_t i) { return static_cast<std::int64_t>(static_cast<std::int32_t>(Le32(&code[i]))); };
  std::uint64_t& rsp = next.gpr[Registers::kSp];
  // lea rsp, [reg + disp]: the register must be known.
  auto lea = [&](std::size_t disp_at, std::int64_t disp) {
    const int reg = (code[2] & 7) + (code[0] == 0x49 ? 8 : 0);
    if (!regs->Known(reg)) return false;
    rsp = regs->gpr[static_cast<std::size_t>(reg)] + static_cast<std::uint64_t>(disp);
    at = disp_at;
    return true;
  };
  if (left(4) && code[0] == 0x48 && code[1] == 0x83 && code[2] == 0xC4) {  // add rsp, imm8
    rsp += static_cast<std::uint64_t>(s8(3));
    at = 4;
  } else if (left(7) && code[0] == 0x48 && code[1] == 0x81 && code[2] == 0xC4) {  // add rsp, imm32
    rsp += static_cast<std::uint64_t>(s32(3));
    at = 7;
  } else if (left(4) && (code[0] == 0x48 || code[0] == 0x49) && code[1] == 0x8D && (code[2] & 0xF8) == 0x60 &&
             (code[2] & 7) != 4) {  // lea rsp, [reg + disp8]
    if (!lea(4, s8(3))) return false;
  } else if (left(7) && (code[0] == 0x48 || code[0] == 0x49) && code[1] == 0x8D && (code[2] & 0xF8) == 0xA0 &&
             (code[2] & 7) != 4) {  // lea rsp, [reg + disp32]
    if (!lea(7, s32(3))) return false;
  }
  for (int pops = 0; pops < 16; ++pops) {
    int reg = -1;
    if (left(1) && code[at] >= 0x58 && code[at] <= 0x5F) {
      reg = code[at] - 0x58;
      at += 1;
    } else if (left(2) && code[at] == 0x41 && code[at + 1] >= 0x58 && code[at + 1] <= 0x5F) {
      reg = code[at + 1] - 0x58 + 8;
      at += 2;
    } else {
      break;
    }
    if (!Restore(memory, rsp, reg, &next)) return false;
    rsp += 8;
  }
  if (!left(1) || (code[at] != 0xC3 && code[at] != 0xC2)) return false;  // not an epilog
  if (!ReadWord(memory, rsp, &next.ip)) return false;
  rsp += 8;
  *regs = next;
  return true;
}

}  // namespace

Registers Registers::From(const Amd64Context& context) {
  Registers r;
  r.gpr = context.gpr;
  r.ip = context.rip;
  r.known = 0xFFFF;
  return r;
}

Registers Registers::From(const X86Context& context) {
  Registers r;
  std::copy(context.gpr.begin(), context.gpr.end(), r.gpr.begin());
  r.ip = context.eip;
  r.known = 0xFF;
  return r;
}

bool EndsInCall(std::span<const std::uint8_t> code) {
  const std::size_t n = code.size();
  auto at = [&](std::size_t back) { return code[n - back]; };
  if (n >= 5 && at(5) == 0xE8) return true;  // call rel32
  // call r/m: FF, then a ModRM byte with reg 2, then what its mode and r/m say follows.
  for (std::size_t length = 2; length <= 7 && length <= n; ++length) {
    if (at(length) != 0xFF) continue;
    const std::uint8_t modrm = at(length - 1);
    if (((modrm >> 3) & 7) != 2) continue;
    const std::uint8_t mode = modrm >> 6, rm = modrm & 7;
    std::size_t want = 2;
    if (mode == 3) {
      want = 2;  // call reg
    } else {
      const bool sib = rm == 4;
      const bool base_none = sib && mode == 0 && length >= 3 && (at(length - 2) & 7) == 5;
      const std::size_t disp = mode == 1 ? 1 : mode == 2 ? 4 : (rm == 5 && !sib) || base_none ? 4 : 0;
      want = 2 + (sib ? 1 : 0) + disp;
    }
    if (want == length) return true;
  }
  return false;
}

ModuleMap::ModuleMap(std::vector<ModuleView> modules) {
  for (std::size_t i = 0; i < modules.size(); ++i) modules[i].index = i;
  modules_ = RangeMap<ModuleView>(std::move(modules));
}

bool UnwindStep(const PeImage& image, std::uint64_t base, const ProcessMemory& memory, bool first, Registers* regs) {
  if (regs->ip - base > UINT32_MAX) return false;
  const auto rva = static_cast<std::uint32_t>(regs->ip - base);
  // A return address may be the first byte after the function (a call that never
  // returns): the call before it decides the function.
  const RuntimeFunction* function = image.FunctionAt(first ? rva : rva - 1);
  std::uint64_t& rsp = regs->gpr[Registers::kSp];
  if (function == nullptr) {  // a leaf: nothing pushed, the return address at RSP
    if (!ReadWord(memory, rsp, &regs->ip)) return false;
    rsp += 8;
    regs->known &= static_cast<std::uint16_t>(~kVolatile);
    return true;
  }
  if (first && FinishEpilog(image, rva, memory, regs)) {
    regs->known &= static_cast<std::uint16_t>(~kVolatile);
    return true;
  }

  // Inside the function's own prolog only the codes already run are undone.
  const std::uint32_t offset = rva - function->begin;
  std::uint32_t unwind = function->unwind_info;
  bool primary = true;
  regs->known &= static_cast<std::uint16_t>(~kVolatile);
  for (int link = 0; link < kMaxChain; ++link) {
    if (unwind & 1) {  // an indirect entry: another RUNTIME_FUNCTION
      std::array<std::uint8_t, 12> f{};
      if (!image.ReadRva(unwind & ~1u, f)) return false;
      unwind = Le32(&f[8]);
      continue;
    }
    std::array<std::uint8_t, 4> header{};
    if (!image.ReadRva(unwind, header)) return false;
    const std::uint8_t version = header[0] & 7;
    const std::uint8_t flags = header[0] >> 3;
    const std::uint8_t prolog = header[1];
    const std::uint8_t count = header[2];
    const std::uint8_t frame_register = header[3] & 0xF;
    const std::uint64_t frame_offset = static_cast<std::uint64_t>(header[3] >> 4) * 16;
    if (version != 1 && version != 2) return false;
    std::vector<std::uint8_t> codes(std::size_t{count} * 2);
    if (!image.ReadRva(unwind + 4, codes)) return false;
    const bool in_prolog = primary && offset < prolog;
    auto ran = [&](std::size_t i) { return !in_prolog || codes[i * 2] <= offset; };

    // The frame base that register saves are relative to: RSP after the whole prolog,
    // or the frame register less its offset once the prolog has set it. A frame
    // register the walk does not know (after a scanned frame) stops the step.
    std::uint64_t frame = rsp;
    for (std::size_t i = 0; i < count;) {
      const std::uint8_t op = codes[i * 2 + 1] & 0xF;
      const int slots = Slots(op, codes[i * 2 + 1] >> 4);
      if (slots == 0) return false;
      if (op == kSetFpreg && frame_register != 0 && ran(i)) {
        if (!regs->Known(frame_register)) return false;
        frame = regs->gpr[frame_register] - frame_offset;
      }
      i += static_cast<std::size_t>(slots);
    }

    for (std::size_t i = 0; i < count;) {
      const std::uint8_t op = codes[i * 2 + 1] & 0xF;
      const std::uint8_t info = codes[i * 2 + 1] >> 4;
      const int slots = Slots(op, info);
      if (i + static_cast<std::size_t>(slots) > count) return false;
      auto slot16 = [&](std::size_t k) { return std::uint64_t{Le16(&codes[(i + k) * 2])}; };
      auto slot32 = [&]() { return slot16(1) | slot16(2) << 16; };
      if (ran(i)) {
        switch (op) {
          case kPushNonvol:
            if (!Restore(memory, rsp, info, regs)) return false;
            rsp += 8;
            break;
          case kAllocLarge:
            rsp += info == 0 ? slot16(1) * 8 : slot32();
            break;
          case kAllocSmall:
            rsp += std::uint64_t{info} * 8 + 8;
            break;
          case kSetFpreg:
            if (frame_register == 0) return false;
            rsp = frame;
            break;
          case kSaveNonvol:
            if (!Restore(memory, frame + slot16(1) * 8, info, regs)) return false;
            break;
          case kSaveNonvolFar:
            if (!Restore(memory, frame + slot32(), info, regs)) return false;
            break;
          case kPushMachframe: {
            // An interrupt or exception frame: RIP and RSP come from the machine frame,
            // after an error code when there is one.
            const std::uint64_t at = rsp + (info != 0 ? 8 : 0);
            std::uint64_t old_rsp = 0;
            if (info > 1 || !ReadWord(memory, at, &regs->ip) || !ReadWord(memory, at + 24, &old_rsp)) return false;
            rsp = old_rsp;
            return true;
          }
          default:  // XMM saves and epilog markers: no integer register to restore
            break;
        }
      }
      i += static_cast<std::size_t>(slots);
    }
    if (!(flags & kChainInfo)) {
      if (!ReadWord(memory, rsp, &regs->ip)) return false;
      rsp += 8;
      return true;
    }
    // The chained entry follows the codes, which are padded to an even count.
    std::array<std::uint8_t, 12> chained{};
    if (!image.ReadRva(unwind + 4 + ((std::uint32_t{count} + 1) & ~1u) * 2, chained)) return false;
    unwind = Le32(&chained[8]);
    primary = false;
  }
  return false;
}

bool StackWalker::ReadWord(std::uint64_t address, std::uint64_t* value) const {
  if (cpu_ == Cpu::kAmd64) return triage::ReadWord(memory_, address, value);
  std::array<std::uint8_t, 4> b{};
  if (!memory_.Read(address, b)) return false;
  *value = Le32(b.data());
  return true;
}

bool StackWalker::ReturnsIntoCode(std::uint64_t address) const {
  // A return address follows its call instruction: the call is what must lie in a
  // module's code (a word equal to a module's base is no return address).
  if (address == 0) return false;
  const ModuleView* module = modules_.Holding(address - 1);
  if (module == nullptr) return false;
  return module->headers == nullptr ||
         module->headers->IsExecutable(static_cast<std::uint32_t>(address - 1 - module->base));
}

bool StackWalker::FollowsCall(std::uint64_t address) const {
  std::array<std::uint8_t, 7> code{};
  if (address < code.size()) return false;
  if (memory_.Read(address - code.size(), code)) return EndsInCall(code);
  const ModuleView* module = modules_.Holding(address - 1);
  const std::uint64_t rva = address - code.size() - (module != nullptr ? module->base : 0);
  if (module == nullptr || module->image == nullptr || address - code.size() < module->base || rva > UINT32_MAX ||
      !module->image->ReadRva(static_cast<std::uint32_t>(rva), code)) {
    return true;  // no code at hand: the section check alone decides
  }
  return EndsInCall(code);
}

bool StackWalker::Plausible(const Registers& callee, const Registers& caller, StackBounds bounds) const {
  return caller.sp() > callee.sp() && caller.sp() <= bounds.high && ReturnsIntoCode(caller.ip);
}

std::optional<Registers> StackWalker::ByUnwindData(const Registers& callee, bool first) const {
  const ModuleView* m = modules_.Holding(first ? callee.ip : callee.ip - 1);
  if (m == nullptr || m->image == nullptr) return std::nullopt;
  Registers caller = callee;
  if (!UnwindStep(*m->image, m->base, memory_, first, &caller)) return std::nullopt;
  return caller;
}

std::optional<Registers> StackWalker::ByFramePointer(const Registers& callee) const {
  // A function that keeps a frame pointer pushes its caller's EBP and points EBP at it,
  // with the return address just above: [EBP] is the caller's EBP, [EBP + 4] where it
  // returns, EBP + 8 its stack pointer. The frame pointer lies in the callee's frame, at
  // or above its stack pointer.
  if (!callee.Known(Registers::kFp)) return std::nullopt;
  const std::uint64_t fp = callee.gpr[Registers::kFp];
  std::uint64_t saved = 0, ip = 0;
  if (fp < callee.sp() || !ReadWord(fp, &saved) || !ReadWord(fp + 4, &ip)) return std::nullopt;
  Registers caller;
  caller.ip = ip;
  caller.Set(Registers::kSp, fp + 8);
  caller.Set(Registers::kFp, saved);
  return caller;
}

std::optional<Registers> StackWalker::ByScanning(const Registers& callee, StackBounds bounds) const {
  const std::uint64_t from = (callee.sp() + word() - 1) & ~(word() - 1);
  const std::uint64_t end = std::min(bounds.high, from + kMaxScanBytes);
  for (std::uint64_t at = from; at >= bounds.low && at + word() <= end; at += word()) {
    std::uint64_t value = 0;
    if (!ReadWord(at, &value)) return std::nullopt;
    if (!ReturnsIntoCode(value) || !FollowsCall(value)) continue;
    // What the scan finds is a return address and where it lay. No other register is
    // known in the caller, but for x86's frame pointer: a callee that kept none leaves
    // the caller's in EBP, and only a value at or above the caller's stack pointer can be
    // that (the callee's own frame lies below it).
    Registers caller;
    caller.ip = value;
    caller.Set(Registers::kSp, at + word());
    if (cpu_ == Cpu::kX86 && callee.Known(Registers::kFp) && callee.gpr[Registers::kFp] >= caller.sp()) {
      caller.Set(Registers::kFp, callee.gpr[Registers::kFp]);
    }
    return caller;
  }
  return std::nullopt;
}

std::vector<RawFrame> StackWalker::Walk(const Registers& context, StackBounds bounds) const {
  std::vector<RawFrame> frames{{context.ip, context.sp(), FrameTrust::kContext}};
  Registers regs = context;
  while (frames.size() < kMaxFrames) {
    const bool first = frames.size() == 1;
    std::optional<Registers> caller;
    FrameTrust trust = FrameTrust::kCfi;
    if (cpu_ == Cpu::kAmd64) {
      caller = ByUnwindData(regs, first);
    } else {
      caller = ByFramePointer(regs);
      trust = FrameTrust::kFramePointer;
    }
    // The thread's first frame: what its unwind data or its saved frame pointer says it
    // returns to is 0, nothing called it.
    if (caller && caller->ip == 0 && caller->sp() > regs.sp() && caller->sp() <= bounds.high) break;
    if (caller && !Plausible(regs, *caller, bounds)) caller.reset();
    if (!caller) {
      caller = ByScanning(regs, bounds);
      trust = FrameTrust::kScan;
    }
    if (!caller || caller->sp() <= regs.sp()) break;  // the stack pointer must grow
    frames.push_back({caller->ip, caller->sp(), trust});
    regs = *caller;
  }
  return frames;
}

namespace {

// A module's bytes as the dump's memory holds them, from its base.
class MappedModule final : public RangeReader {
 public:
  MappedModule(const ProcessMemory& memory, std::uint64_t base, std::uint64_t size)
      : memory_(memory), base_(base), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool Read(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    return Fits(offset, out.size(), size_) && memory_.Read(base_ + offset, out);
  }

 private:
  const ProcessMemory& memory_;
  std::uint64_t base_, size_;
};

std::optional<Registers> ContextOf(const Minidump& dump, Cpu cpu, Location where) {
  if (where.size == 0) return std::nullopt;
  if (cpu == Cpu::kX86) {
    X86Context context;
    if (!dump.ReadX86Context(where, &context)) return std::nullopt;
    return Registers::From(context);
  }
  Amd64Context context;
  if (!dump.ReadAmd64Context(where, &context)) return std::nullopt;
  return Registers::From(context);
}

}  // namespace

DumpStacks WalkStacks(const Minidump& dump, Cpu cpu, const std::vector<Module>& modules, const MemoryLists& lists,
                      const std::optional<ExceptionInfo>& exception, const StackOptions& options) {
  DumpStacks out;
  DumpMemory memory;
  memory.Load(dump, lists);
  SymbolStore none;
  SymbolStore& symbols = options.symbols != nullptr ? *options.symbols : none;
  // A module without its file may still have its headers in the dump (a full-memory dump,
  // or one written with the module headers): they give its section table.
  std::vector<std::unique_ptr<MappedModule>> mapped;
  std::vector<std::optional<PeImage>> headers;
  mapped.reserve(modules.size());
  headers.reserve(modules.size());
  std::vector<const PeImage*> images;
  std::vector<ModuleView> views;
  for (const Module& m : modules) {
    const PeImage* image = symbols.FindImage(m);
    const PeImage* layout = image;
    if (image == nullptr) {
      mapped.push_back(std::make_unique<MappedModule>(memory, m.base, m.size));
      std::string why;
      headers.push_back(PeImage::Open(*mapped.back(), &why, PeImage::Layout::kMapped));
      if (headers.back()) layout = &*headers.back();
    }
    images.push_back(image);
    views.push_back({m.base, m.size, image, layout});
  }
  const ModuleMap map(std::move(views));
  const StackWalker walker(cpu, map, memory);
  // Each thread's stack as the thread list gives it, looked up once per walk: a dump may
  // list 65536 threads, and every one is walked with --all-threads. A thread listed twice
  // keeps its last usable entry.
  std::unordered_map<std::uint32_t, StackBounds> stacks;
  for (const Thread& t : lists.threads) {
    if (t.stack.where.size != 0 && t.stack.where.size <= UINT64_MAX - t.stack.start) {
      stacks[t.id] = {t.stack.start, t.stack.start + t.stack.where.size};
    }
  }
  auto walk = [&](Location where, std::uint32_t thread_id) {
    std::vector<NamedFrame> named;
    const std::optional<Registers> regs = ContextOf(dump, cpu, where);
    if (!regs) return named;
    const auto listed = stacks.find(thread_id);
    const StackBounds bounds = listed != stacks.end()
                                   ? listed->second
                                   : StackBounds{regs->sp(), memory.EndOf(regs->sp()).value_or(regs->sp())};
    const std::vector<RawFrame> frames = walker.Walk(*regs, bounds);
    for (std::size_t i = 0; i < frames.size(); ++i) {
      NamedFrame f;
      f.index = i;
      f.address = frames[i].address;
      f.trust = frames[i].trust;
      const bool caller = i > 0;
      if (const ModuleView* m = map.Holding(f.address - (caller ? 1 : 0))) {
        symbols.Name(modules[m->index], images[m->index], caller, &f);
      }
      named.push_back(std::move(f));
    }
    return named;
  };
  if (exception) out.crashing = walk(exception->thread_context, exception->thread_id);
  if (options.all_threads) {
    out.threads.emplace();
    for (const Thread& t : lists.threads) {
      const bool crashed = exception && t.id == exception->thread_id && exception->thread_context.size != 0;
      out.threads->push_back({t.id, crashed ? out.crashing : walk(t.context, t.id), std::nullopt});
    }
  }
  return out;
}

}  // namespace triage
