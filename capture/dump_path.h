// The dump path builder: recognises the client, creates the crash folder and gathers what
// the dump name is made of (the client's version, the crash context block, the settings
// file, the time) for ComposeDumpPath.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/ports.h"

namespace capture {

// True when the dump path is complete. Writes the client directory (no trailing
// backslash) early, the dump path only at the end; see the failure table in the tests.
// Uses no heap.
bool BuildDumpPath(const CapturePorts& ports, const CrashInfo* info,
                   std::uint64_t context_address, char16_t* dump_path,
                   std::size_t dump_path_capacity, char16_t* client_dir,
                   std::size_t client_dir_capacity);

// `utc` as local time of the zone with `key_name` in the platform's zone list; false
// when the list cannot be had, does not hold the zone, or the conversion fails.
bool LocalTimeInZone(const CapturePorts& ports, const char16_t* key_name, const CalendarTime& utc,
                     CalendarTime* local);

}  // namespace capture
