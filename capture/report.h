// The crash report text: key=value lines in UTF-8 that describe one crash, embedded in
// the dump as its comment stream and written beside it as a .txt.
#pragma once

#include <cstddef>

#include "capture/context_block.h"
#include "capture/ports.h"

namespace capture {

inline constexpr std::size_t kReportCapacity = 65536;

// Composes the report into `report` (capacity in bytes, NUL-terminated, at most
// capacity - 1 bytes). `block` is the validated copy or null; `fault_module` may be null
// or empty. Does nothing when `report` is null or `capacity` is 0. No heap.
void ComposeReport(const CapturePorts& ports, const CrashInfo& info,
                   const CrashContextBlock* block, const char16_t* fault_module, char* report,
                   std::size_t capacity);

}  // namespace capture
