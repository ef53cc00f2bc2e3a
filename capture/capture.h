// The crash capture: writes a minidump of the crashed client with the crash report as
// its comment stream, commits it under its final name, writes the report text file
// beside it and starts the notifier. Portable: the platform is reached through the ports
// of ports.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <numeric>

#include "capture/ports.h"

namespace capture {

inline constexpr std::size_t kCommandLineCapacity = 520;
// MiniDumpWithDataSegs | MiniDumpWithHandleData | MiniDumpWithUnloadedModules |
// MiniDumpWithIndirectlyReferencedMemory | MiniDumpWithFullMemoryInfo | MiniDumpWithThreadInfo.
inline constexpr std::uint32_t kDumpType = 0x1865;
inline constexpr std::uint32_t kCommentStreamA = 10;
// A dump smaller than this cannot even hold the minidump header and is not kept.
inline constexpr std::uint64_t kMinimumDumpSize = 32;
// The first Windows build whose WER fills bIsFatal (Windows 10 2004).
inline constexpr std::uint32_t kFirstBuildWithFatalFlag = 19041;
// Pauses before each retry of a rename or delete that a virus scanner holds up: one
// second in all for each rename and for each delete.
inline constexpr std::uint32_t kBusyFilePausesMs[] = {10, 20, 40, 80, 160, 320, 370};
inline constexpr std::uint32_t kBusyFileBudgetMs = 1000;
static_assert(std::accumulate(std::begin(kBusyFilePausesMs), std::end(kBusyFilePausesMs), 0u) ==
              kBusyFileBudgetMs);

// True when the dump was committed under its final name; the report text file, the
// removal of stale temporary files and the notifier do not change the result. False
// leaves no file of its own behind but the crash folder. Declines, before anything, a
// call that is no fatal crash (see IsCrashToCapture) and a process whose id cannot be had.
bool Capture(const CapturePorts& ports, const CrashInfo* info, std::uint64_t context_address);

// The report text file beside the dump: `dump_path` with its extension replaced by
// ".txt", holding `report` without its NUL, committed the way the dump is: written and
// flushed under "<that name>.tmp", renamed when every byte is there, replacing an older
// file of that name. False leaves neither name written: only the temporary file was
// touched, and it is deleted.
bool WriteReportTextFile(const CapturePorts& ports, const char16_t* dump_path, const char* report,
                         std::size_t report_length);

}  // namespace capture
