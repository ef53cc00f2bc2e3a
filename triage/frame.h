// One frame of a stack as every later stage sees it: where it is, how it was found, and
// what it is called. The walker finds frames, the symbols name them, the buckets key on
// them and the renderers show them, all through this one shape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace triage {

// How a frame was found, from the most to the least certain.
enum class FrameTrust {
  kContext,       // frame 0: the registers the dump holds for the thread
  kCfi,           // the caller by the module's unwind data
  kFramePointer,  // the caller by the chain of saved frame pointers (x86)
  kScan,          // a stack word that points just after a call in a module's code: a guess
};
// "context", "cfi", "frame-pointer", "scan": the names in --json and in frame lines.
const char* TrustName(FrameTrust trust);

struct NamedFrame {
  std::size_t index = 0;
  std::uint64_t address = 0;  // frame 0: the instruction pointer; callers: the return address
  FrameTrust trust = FrameTrust::kContext;
  // The file name of the module holding the address, ASCII letters folded to lower case:
  // Windows compares module names without case, and so do bucket keys, which must spell a
  // module as the frames they come from do.
  std::optional<std::string> module;
  std::optional<std::uint64_t> offset;  // from the module's base
  std::optional<std::string> function;
  std::optional<std::uint64_t> function_offset;  // from an exported function's start
  std::optional<std::string> file;
  std::optional<std::uint32_t> line;
};

// "nvwgf2umx.dll!OpenAdapter12+0x1F", "calvorin.dll!Capture", "nvwgf2umx.dll+0x1382", or
// the bare address for a frame in no module. Without `function_offset` the function's
// name stands alone, as bucket keys want it.
std::string FrameText(const NamedFrame& frame, bool function_offset = true);

}  // namespace triage
