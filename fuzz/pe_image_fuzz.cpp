// The module-file side of the stack walker on arbitrary bytes: the PE reader (headers,
// sections, exception directory, exports, debug directory; as a file and as mapped in a
// dump), the x64 unwinder, the x64 and x86 walks over a stack made of the input's tail,
// and the PDB readers (identity, functions). Nothing may crash, hang, read out of bounds
// or loop.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz_support.h"
#include "triage/codeview.h"
#include "triage/pe_image.h"
#include "triage/range_reader.h"
#include "triage/stack.h"

namespace {

constexpr std::uint64_t kBase = 0x180000000;
constexpr std::uint64_t kBase32 = 0x10000000;
constexpr std::uint64_t kStack = 0x7FFE0000;

// The stack: the bytes after the PE file, at kStack.
class TailMemory final : public triage::ProcessMemory {
 public:
  explicit TailMemory(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool Read(std::uint64_t address, std::span<std::uint8_t> out) const override {
    if (address < kStack || !triage::Fits(address - kStack, out.size(), bytes_.size())) return false;
    std::memcpy(out.data(), bytes_.data() + (address - kStack), out.size());
    return true;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input head(data, size);
  // The front says how the rest divides: the PE file's length and where RIP starts.
  const std::size_t pe_size = std::min<std::size_t>(head.U32(), size > 8 ? size - 8 : 0);
  const std::uint32_t rip_rva = head.U32();
  const std::size_t at = std::min<std::size_t>(8, size);
  const std::span<const std::uint8_t> pe(data + at, std::min(pe_size, size - at));
  const std::span<const std::uint8_t> stack(pe.data() + pe.size(), size - at - pe.size());

  std::string why;
  const triage::MemoryRangeReader input(pe);
  (void)triage::ReadPdbIdentity(input, &why);
  if (const auto functions = triage::PdbFunctions::Read(input, &why)) (void)functions->Holds(rip_rva);
  const std::optional<triage::PeImage> mapped = triage::PeImage::Open(input, &why, triage::PeImage::Layout::kMapped);
  const std::optional<triage::PeImage> image = triage::PeImage::Open(input, &why);
  if (!image) return 0;
  for (std::uint32_t rva : {rip_rva, rip_rva - 1, 0u, 0x1000u}) {
    std::uint8_t byte = 0;
    image->ReadRva(rva, std::span(&byte, 1));
    (void)image->IsExecutable(rva);
    if (const triage::RuntimeFunction* f = image->FunctionAt(rva)) fuzz::Check(f->begin <= rva && rva < f->end);
    if (const triage::Export* e = image->ExportAt(rva)) fuzz::Check(e->rva <= rva);
  }
  if (image->codeview()) (void)triage::StubImage(*image->codeview(), image->size_of_image());

  const TailMemory memory(stack);
  triage::Registers context;
  context.ip = kBase + rip_rva;
  context.known = 0xFFFF;
  context.gpr[triage::Registers::kSp] = kStack;
  context.gpr[triage::Registers::kFp] = kStack + 64;
  const std::uint64_t image_size = std::max<std::uint32_t>(image->size_of_image(), 1);
  const triage::ModuleMap modules({{kBase, image_size, &*image, &*image}});
  // The x86 walk over the same stack: a module of a 32-bit process without its file, its
  // section table from the mapped headers where they parse.
  const triage::ModuleMap x86_modules({{kBase32, image_size, nullptr, mapped ? &*mapped : nullptr}});
  triage::Registers x86 = context;
  x86.ip = kBase32 + rip_rva;
  x86.known = 0xFF;
  for (const auto& [cpu, map, regs] : {std::tuple{triage::Cpu::kAmd64, &modules, context},
                                       std::tuple{triage::Cpu::kX86, &x86_modules, x86}}) {
    const triage::StackWalker walker(cpu, *map, memory);
    const std::vector<triage::RawFrame> frames = walker.Walk(regs, {kStack, kStack + stack.size()});
    fuzz::Check(!frames.empty() && frames.size() <= triage::StackWalker::kMaxFrames);
    for (std::size_t i = 1; i < frames.size(); ++i) fuzz::Check(frames[i].stack_pointer > frames[i - 1].stack_pointer);
  }
  return 0;
}
