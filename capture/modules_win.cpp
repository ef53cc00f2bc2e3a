#include "capture/modules_win.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>

namespace capture {
namespace {

// The client is a 64-bit process; the snapshot reads entries of this exact size.
static_assert(sizeof(MODULEENTRY32W) == 1080, "64-bit module entry");
static_assert(sizeof(ModuleEntry::name) == sizeof(MODULEENTRY32W::szModule));

using EntryCall = BOOL(WINAPI*)(HANDLE, LPMODULEENTRY32W);

bool Fetch(EntryCall call, Handle snapshot, ModuleEntry* entry) {
  if (entry == nullptr) return false;
  MODULEENTRY32W platform_entry{};
  platform_entry.dwSize = sizeof(platform_entry);
  if (!call(static_cast<HANDLE>(snapshot), &platform_entry)) return false;
  entry->base = reinterpret_cast<std::uintptr_t>(platform_entry.modBaseAddr);
  entry->size = platform_entry.modBaseSize;
  std::memcpy(entry->name, platform_entry.szModule, sizeof(entry->name));
  entry->name[sizeof(entry->name) / sizeof(entry->name[0]) - 1] = u'\0';
  return true;
}

}  // namespace

Handle WinModulePort::OpenSnapshot(std::uint32_t process_id) {
  // Both flags: a 64-bit snapshot of a 64-bit process lists its modules; the second flag
  // adds the 32-bit ones of a WOW64 process and costs nothing otherwise.
  return CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, process_id);
}

bool WinModulePort::FirstModule(Handle snapshot, ModuleEntry* entry) {
  return Fetch(Module32FirstW, snapshot, entry);
}

bool WinModulePort::NextModule(Handle snapshot, ModuleEntry* entry) {
  return Fetch(Module32NextW, snapshot, entry);
}

void WinModulePort::CloseSnapshot(Handle snapshot) { CloseHandle(static_cast<HANDLE>(snapshot)); }

}  // namespace capture
