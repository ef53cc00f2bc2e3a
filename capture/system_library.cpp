#include "capture/system_library.h"

#include "common/bounded_string.h"

namespace capture {

Handle LoadSystemLibrary(const CapturePorts& ports, const char16_t* name) {
  if (ports.libraries.SearchFlagsKnown()) return ports.libraries.LoadFromSystemFolder(name);
  char16_t folder[kPathCapacity] = {};
  if (!ports.libraries.SystemFolder(folder, kPathCapacity) || folder[0] == u'\0') return nullptr;
  char16_t path[kPathCapacity] = {};
  if (!common::Succeeded(common::BoundedFormat(path, kPathCapacity, u"%s\\%s", {folder, name}))) {
    return nullptr;
  }
  return ports.libraries.LoadFullPath(path);
}

}  // namespace capture
