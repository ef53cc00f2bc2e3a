#include "triage/stack.h"

#include <algorithm>
#include <array>

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

// Frame 0 may have stopped inside an epilog, where the unwind codes no longer describe
// the stack: the Windows unwinder recognises the epilog by its instructions (an optional
// stack release, register pops, a return) and finishes it instead. Only the plain forms
// compilers emit are recognised; anything else is taken as the function's body.
bool FinishEpilog(const PeImage& image, std::uint32_t rva, const ProcessMemory& memory, Amd64Context* regs) {
  std::array<std::uint8_t, 48> code{};
  std::size_t have = code.size();
  while (have > 0 && !image.ReadRva(rva, std::span(code).first(have))) have /= 2;
  if (have == 0 || !image.IsExecutable(rva)) return false;
  Amd64Context next = *regs;
  std::size_t at = 0;
  auto left = [&](std::size_t n) { return at + n <= have; };
  auto s8 = [&](std::size_t i) { return static_cast<std::int64_t>(static_cast<std::int8_t>(code[i])); };
  auto s32 = [&](std::size_t i) { return static_cast<std::int64_t>(static_cast<std::int32_t>(Le32(&code[i]))); };
  std::uint64_t& rsp = next.gpr[Amd64Context::kRsp];
  if (left(4) && code[0] == 0x48 && code[1] == 0x83 && code[2] == 0xC4) {  // add rsp, imm8
    rsp += static_cast<std::uint64_t>(s8(3));
    at = 4;
  } else if (left(7) && code[0] == 0x48 && code[1] == 0x81 && code[2] == 0xC4) {  // add rsp, imm32
    rsp += static_cast<std::uint64_t>(s32(3));
    at = 7;
  } else if (left(4) && (code[0] == 0x48 || code[0] == 0x49) && code[1] == 0x8D && (code[2] & 0xF8) == 0x60 &&
             (code[2] & 7) != 4) {  // lea rsp, [reg + disp8]
    const int reg = (code[2] & 7) + (code[0] == 0x49 ? 8 : 0);
    rsp = regs->gpr[static_cast<std::size_t>(reg)] + static_cast<std::uint64_t>(s8(3));
    at = 4;
  } else if (left(7) && (code[0] == 0x48 || code[0] == 0x49) && code[1] == 0x8D && (code[2] & 0xF8) == 0xA0 &&
             (code[2] & 7) != 4) {  // lea rsp, [reg + disp32]
    const int reg = (code[2] & 7) + (code[0] == 0x49 ? 8 : 0);
    rsp = regs->gpr[static_cast<std::size_t>(reg)] + static_cast<std::uint64_t>(s32(3));
    at = 7;
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
    if (reg == Amd64Context::kRsp || !ReadWord(memory, rsp, &next.gpr[static_cast<std::size_t>(reg)])) return false;
    rsp += 8;
  }
  if (!left(1) || (code[at] != 0xC3 && code[at] != 0xC2)) return false;  // not an epilog
  if (!ReadWord(memory, rsp, &next.rip)) return false;
  rsp += 8;
  *regs = next;
  return true;
}

}  // namespace

const char* TrustName(FrameTrust trust) {
  switch (trust) {
    case FrameTrust::kContext: return "context";
    case FrameTrust::kCfi: return "cfi";
    case FrameTrust::kScan: return "scan";
  }
  return "scan";
}

ModuleMap::ModuleMap(const std::vector<ModuleView>& modules) : modules_(modules) {
  for (std::size_t i = 0; i < modules_.size(); ++i) {
    if (modules_[i].size != 0 && modules_[i].size <= UINT64_MAX - modules_[i].base) by_base_.push_back(i);
  }
  std::stable_sort(by_base_.begin(), by_base_.end(),
                   [&](std::size_t a, std::size_t b) { return modules_[a].base < modules_[b].base; });
}

std::optional<std::size_t> ModuleMap::IndexOf(std::uint64_t address) const {
  auto it = std::upper_bound(by_base_.begin(), by_base_.end(), address,
                             [&](std::uint64_t value, std::size_t i) { return value < modules_[i].base; });
  // Overlapping entries (a hostile list) are searched back to the first that holds it;
  // after a long run of them give up rather than crawl.
  for (int steps = 0; steps < 64 && it != by_base_.begin(); ++steps) {
    --it;
    const ModuleView& m = modules_[*it];
    if (address - m.base < m.size) return *it;
  }
  return std::nullopt;
}

bool UnwindStep(const PeImage& image, std::uint64_t base, const ProcessMemory& memory, bool first, Amd64Context* regs) {
  if (regs->rip - base > UINT32_MAX) return false;
  const auto rva = static_cast<std::uint32_t>(regs->rip - base);
  // A return address may be the first byte after the function (a call that never
  // returns): the call before it decides the function.
  const RuntimeFunction* function = image.FunctionAt(first ? rva : rva - 1);
  std::uint64_t& rsp = regs->gpr[Amd64Context::kRsp];
  if (function == nullptr) {  // a leaf: nothing pushed, the return address at RSP
    if (!ReadWord(memory, rsp, &regs->rip)) return false;
    rsp += 8;
    return true;
  }
  if (first && FinishEpilog(image, rva, memory, regs)) return true;

  // Inside the function's own prolog only the codes already run are undone.
  const std::uint32_t offset = rva - function->begin;
  std::uint32_t unwind = function->unwind_info;
  bool primary = true;
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
    // or the frame register less its offset once the prolog has set it.
    std::uint64_t frame = rsp;
    for (std::size_t i = 0; i < count;) {
      const std::uint8_t op = codes[i * 2 + 1] & 0xF;
      const int slots = Slots(op, codes[i * 2 + 1] >> 4);
      if (slots == 0) return false;
      if (op == kSetFpreg && frame_register != 0 && ran(i)) {
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
            if (info == Amd64Context::kRsp || !ReadWord(memory, rsp, &regs->gpr[info])) return false;
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
            if (info == Amd64Context::kRsp || !ReadWord(memory, frame + slot16(1) * 8, &regs->gpr[info])) return false;
            break;
          case kSaveNonvolFar:
            if (info == Amd64Context::kRsp || !ReadWord(memory, frame + slot32(), &regs->gpr[info])) return false;
            break;
          case kPushMachframe: {
            // An interrupt or exception frame: RIP and RSP come from the machine frame,
            // after an error code when there is one.
            const std::uint64_t at = rsp + (info != 0 ? 8 : 0);
            std::uint64_t old_rsp = 0;
            if (info > 1 || !ReadWord(memory, at, &regs->rip) || !ReadWord(memory, at + 24, &old_rsp)) return false;
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
      if (!ReadWord(memory, rsp, &regs->rip)) return false;
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

bool StackWalker::ReturnsIntoCode(std::uint64_t address) const {
  // A return address follows its call instruction: the call is what must lie in a
  // module's code (a word equal to a module's base is no return address).
  if (address == 0) return false;
  const std::optional<std::size_t> m = modules_.IndexOf(address - 1);
  if (!m) return false;
  const ModuleView& module = modules_[*m];
  return module.image == nullptr ||
         module.image->IsExecutable(static_cast<std::uint32_t>(address - 1 - module.base));
}

std::optional<std::uint64_t> StackWalker::Scan(std::uint64_t from, StackBounds bounds, std::uint64_t* value) const {
  from = (from + 7) & ~std::uint64_t{7};
  const std::uint64_t end = std::min(bounds.high, from + kMaxScanBytes);
  for (std::uint64_t at = from; at >= bounds.low && at + 8 <= end; at += 8) {
    std::uint64_t word = 0;
    if (!ReadWord(memory_, at, &word)) return std::nullopt;
    if (!ReturnsIntoCode(word)) continue;
    *value = word;
    return at;
  }
  return std::nullopt;
}

std::vector<RawFrame> StackWalker::Walk(const Amd64Context& context, StackBounds bounds) const {
  std::vector<RawFrame> frames{{context.rip, context.gpr[Amd64Context::kRsp], FrameTrust::kContext}};
  Amd64Context regs = context;
  while (frames.size() < kMaxFrames) {
    const std::uint64_t sp = regs.gpr[Amd64Context::kRsp];
    const bool first = frames.size() == 1;
    Amd64Context next = regs;
    FrameTrust trust = FrameTrust::kCfi;
    const std::optional<std::size_t> m = modules_.IndexOf(first ? regs.rip : regs.rip - 1);
    bool found = m && modules_[*m].image != nullptr &&
                 UnwindStep(*modules_[*m].image, modules_[*m].base, memory_, first, &next);
    // What the unwind data gives must still be a frame of this stack, returning into
    // code: after a scanned frame the registers it restores may be stale.
    const std::uint64_t next_sp = next.gpr[Amd64Context::kRsp];
    if (found && (next_sp <= sp || next_sp > bounds.high)) found = false;
    if (found && next.rip == 0) break;  // the thread's first frame: nothing called it
    if (found && !ReturnsIntoCode(next.rip)) found = false;
    if (!found) {
      next = regs;
      std::uint64_t value = 0;
      const std::optional<std::uint64_t> at = Scan(sp, bounds, &value);
      if (!at) break;
      next.rip = value;
      next.gpr[Amd64Context::kRsp] = *at + 8;
      trust = FrameTrust::kScan;
    }
    if (next.gpr[Amd64Context::kRsp] <= sp) break;  // the stack pointer must grow
    frames.push_back({next.rip, next.gpr[Amd64Context::kRsp], trust});
    regs = next;
  }
  return frames;
}

}  // namespace triage
