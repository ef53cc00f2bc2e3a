// Module snapshots of a process through Toolhelp, for the capture's module lookups and
// the report's module list.
#pragma once

#include "capture/platform.h"

namespace capture {

class WinModulePort final : public ModulePort {
 public:
  Handle OpenSnapshot(std::uint32_t process_id) override;
  bool FirstModule(Handle snapshot, ModuleEntry* entry) override;
  bool NextModule(Handle snapshot, ModuleEntry* entry) override;
  void CloseSnapshot(Handle snapshot) override;
};

}  // namespace capture
