// The crash capture: writes a minidump of the crashed client with the crash report as
// its comment stream, commits it under its final name, writes the report text file
// beside it and starts the notifier. Portable: the platform is reached through the ports
// of ports.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/ports.h"

namespace capture {

inline constexpr std::size_t kCommandLineCapacity = 520;
// MiniDumpWithDataSegs | MiniDumpWithHandleData | MiniDumpWithUnloadedModules |
// MiniDumpWithIndirectlyReferencedMemory | MiniDumpWithFullMemoryInfo | MiniDumpWithThreadInfo.
inline constexpr std::uint32_t kDumpType = 0x1865;
inline constexpr std::uint32_t kCommentStreamA = 10;
// A dump smaller than this cannot even hold the minidump header and is not kept.
inline constexpr std::uint64_t kMinimumDumpSize = 32;

// True when the dump was committed under its final name; the report text file and the
// notifier do not change the result. False leaves no file behind but the crash folder.
bool Capture(const CapturePorts& ports, const CrashInfo* info, std::uint64_t context_address);

// The report text file beside the dump: `dump_path` with its extension replaced by
// ".txt", holding `report` without its NUL. True only when every byte was written.
bool WriteReportTextFile(const CapturePorts& ports, const char16_t* dump_path, const char* report,
                         std::size_t report_length);

}  // namespace capture
