// The modules of the crashed process: the walk over a module snapshot, and the module
// that holds the exception address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "capture/ports.h"
#include "capture/unique_handle.h"

namespace capture {

// A snapshot fails with ERROR_BAD_LENGTH while the process's loader changes its module
// list, and the platform says to take it again; a crash in the heap is just when other
// threads of the client load or unload. So it is taken up to this many times, with this
// pause before each retry, and only for that error.
inline constexpr int kSnapshotAttempts = 5;
inline constexpr std::uint32_t kSnapshotRetryPauseMs = 10;

// A module snapshot of `process_id`, InvalidHandle() when none can be had. Process id 0
// (a failed GetProcessId) never gets one: the platform would list the calling process,
// the WER host, as if it were the client.
Handle OpenModuleSnapshot(const CapturePorts& ports, std::uint32_t process_id);

// Calls `visit(entry)` for each module of a snapshot of `process_id`, in the platform's
// order, until `visit` returns false or the list ends; the entry's name is terminated.
// Does nothing when no snapshot can be had; the snapshot is closed however the walk ends.
template <typename Visit>
void ForEachModule(const CapturePorts& ports, std::uint32_t process_id, Visit visit) {
  const UniqueFileHandle snapshot(ports.handles, OpenModuleSnapshot(ports, process_id));
  if (!snapshot.valid()) return;
  ModuleEntry entry;
  for (bool more = ports.modules.FirstModule(snapshot.get(), &entry); more;
       more = ports.modules.NextModule(snapshot.get(), &entry)) {
    entry.name[std::size(entry.name) - 1] = u'\0';
    if (!visit(static_cast<const ModuleEntry&>(entry))) return;
  }
}

// The file name of the module of `process_id` whose range holds `address` into `name`
// (capacity in units); empty when the process id is 0, the snapshot fails or no module
// holds it.
void FindFaultModule(const CapturePorts& ports, std::uint32_t process_id, std::uint64_t address,
                     char16_t* name, std::size_t capacity);

}  // namespace capture
