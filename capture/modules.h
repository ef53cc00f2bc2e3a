// The modules of the crashed process: the walk over a module snapshot, and the module
// that holds the exception address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "capture/ports.h"
#include "capture/unique_handle.h"

namespace capture {

// Calls `visit(entry)` for each module of a snapshot of `process_id`, in the platform's
// order, until `visit` returns false or the list ends; the entry's name is terminated.
// Does nothing when no snapshot can be had; the snapshot is closed however the walk ends.
template <typename Visit>
void ForEachModule(const CapturePorts& ports, std::uint32_t process_id, Visit visit) {
  const UniqueFileHandle snapshot(ports.handles, ports.modules.OpenSnapshot(process_id));
  if (!snapshot.valid()) return;
  ModuleEntry entry;
  for (bool more = ports.modules.FirstModule(snapshot.get(), &entry); more;
       more = ports.modules.NextModule(snapshot.get(), &entry)) {
    entry.name[std::size(entry.name) - 1] = u'\0';
    if (!visit(static_cast<const ModuleEntry&>(entry))) return;
  }
}

// The file name of the module of `process_id` whose range holds `address` into `name`
// (capacity in units); empty when the snapshot fails or no module holds it.
void FindFaultModule(const CapturePorts& ports, std::uint32_t process_id, std::uint64_t address,
                     char16_t* name, std::size_t capacity);

}  // namespace capture
