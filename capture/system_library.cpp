#include "capture/system_library.h"

#include "common/bounded_string.h"

namespace capture {

Handle LoadSystemLibrary(const CapturePorts& ports, const char16_t* name) {
  const Handle library = ports.libraries.LoadFromSystemFolder(name);
  if (library != nullptr) return library;
  // Without KB2533623 Windows 7 knows no LOAD_LIBRARY_SEARCH_* flag and says so; any
  // other error means the DLL itself cannot be had.
  if (ports.system.LastError() != kErrorInvalidParameter) return nullptr;
  char16_t folder[kPathCapacity] = {};
  if (!ports.libraries.SystemFolder(folder, kPathCapacity) || folder[0] == u'\0') return nullptr;
  char16_t path[kPathCapacity] = {};
  if (!common::Succeeded(common::BoundedFormat(path, kPathCapacity, u"%s\\%s", {folder, name}))) {
    return nullptr;
  }
  return ports.libraries.LoadFullPath(path);
}

}  // namespace capture
