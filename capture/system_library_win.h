// A DLL of the Windows system folder, loaded for the length of one call.
//
// dbghelp.dll and version.dll are not among the DLLs that Windows always takes from the
// system folder, and a module that imports them gets them from the loader's search
// order, which under LOAD_WITH_ALTERED_SEARCH_PATH starts in the module's own folder: the
// game folder, which players and mods can write. So the module does not import them; the
// adapters load them from System32 alone (LOAD_LIBRARY_SEARCH_SYSTEM32 also confines the
// search for their own imports), look up the one function they need and free the library
// before they return, so nothing stays loaded in the WER host and no state is kept.
#pragma once

#include <windows.h>

namespace capture {

class SystemLibrary {
 public:
  explicit SystemLibrary(const wchar_t* name)
      : module_(LoadLibraryExW(name,                                // lpLibFileName: a bare name
                               nullptr,                             // hFile: reserved
                               LOAD_LIBRARY_SEARCH_SYSTEM32)) {}    // dwFlags: System32 only
  SystemLibrary(const SystemLibrary&) = delete;
  SystemLibrary& operator=(const SystemLibrary&) = delete;
  ~SystemLibrary() {
    if (module_ != nullptr) FreeLibrary(module_);
  }

  // The export `name` as a function of type `Function`; null when the library did not
  // load or lacks it, which fails the caller's step like any other failed call.
  template <typename Function>
  Function Find(const char* name) const {
    if (module_ == nullptr) return nullptr;
    // GetProcAddress gives a generic function pointer; going through void* keeps GCC's
    // -Wcast-function-type quiet.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }

 private:
  HMODULE module_;
};

}  // namespace capture
