#include "capture/modules.h"

#include "common/bounded_string.h"

namespace capture {

Handle OpenModuleSnapshot(const CapturePorts& ports, std::uint32_t process_id) {
  if (process_id == 0) return InvalidHandle();
  for (int attempt = 1;; ++attempt) {
    const Handle snapshot = ports.modules.OpenSnapshot(process_id);
    if (snapshot != InvalidHandle() || attempt == kSnapshotAttempts ||
        ports.system.LastError() != kErrorBadLength) {
      return snapshot;
    }
    ports.clock.Sleep(kSnapshotRetryPauseMs);
  }
}

void FindFaultModule(const CapturePorts& ports, std::uint32_t process_id, std::uint64_t address,
                     char16_t* name, std::size_t capacity) {
  if (name == nullptr || capacity == 0) return;
  name[0] = u'\0';
  ForEachModule(ports, process_id, [&](const ModuleEntry& entry) {
    // Measured from the base, so a module at the top of the address space cannot wrap.
    if (address < entry.base || address - entry.base >= entry.size) return true;
    if (!common::Succeeded(common::BoundedCopy(name, capacity, entry.name))) name[0] = u'\0';
    return false;
  });
}

}  // namespace capture
