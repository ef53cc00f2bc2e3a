// Copies the crash context block out of the crashed client and checks it.
#pragma once

#include <cstdint>

#include "capture/context_block.h"
#include "capture/ports.h"

namespace capture {

// Reads CRASH_CONTEXT_BLOCK_SIZE bytes at `address` of `process` into `dest` with one
// read, checks size and version and terminates every string field in its last unit.
// False (nothing read) for a null process, address or destination, a failed or short
// read, or a wrong size or version; `dest` then means nothing.
bool ReadContextBlock(ProcessPort& port, Handle process, std::uint64_t address,
                      CrashContextBlock* dest);

}  // namespace capture
