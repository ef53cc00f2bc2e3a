// The DLLs of the system folder that the capture loads for one step and frees after it.
//
// dbghelp.dll and version.dll are not among the DLLs that Windows always takes from the
// system folder, and a module that imports them gets them from the loader's search
// order, which under LOAD_WITH_ALTERED_SEARCH_PATH starts in the module's own folder: the
// game folder, which players and mods can write. So the module does not import them; it
// loads them from the system folder alone, hands them to the one port call that needs
// them and frees them before the step ends, so nothing stays loaded in the WER host and
// no state is kept.
#pragma once

#include "capture/ports.h"
#include "capture/unique_handle.h"

namespace capture {

// Loads `name` (a bare file name) from the system folder; null when it cannot be had.
// With LOAD_LIBRARY_SEARCH_SYSTEM32 where kernel32 exports AddDllDirectory, which is how
// the platform tells that the loader knows that flag; otherwise (Windows 7 without
// KB2533623) by the full path of the system folder: never the bare name, which the
// search order would look for in the game folder.
Handle LoadSystemLibrary(const CapturePorts& ports, const char16_t* name);

// A library of the system folder, freed when the owner goes out of scope.
class SystemLibrary : public UniqueLibrary {
 public:
  SystemLibrary(const CapturePorts& ports, const char16_t* name)
      : UniqueLibrary(ports.libraries, LoadSystemLibrary(ports, name)) {}
};

}  // namespace capture
