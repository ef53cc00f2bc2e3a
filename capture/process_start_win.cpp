#include "capture/process_start_win.h"

#include <windows.h>

namespace capture {

static_assert(sizeof(STARTUPINFOW) == 104, "the notifier gets the 64-bit start-up information");
static_assert((CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE) == 0x4000200);

bool WinProcessStartPort::Start(const char16_t* application, char16_t* command_line,
                                const char16_t* current_dir, StartedProcess* started) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  // Its own process group and the default error mode: the notifier must not inherit
  // the WER host's console signals or its suppressed error boxes.
  if (!CreateProcessW(reinterpret_cast<const wchar_t*>(application),   // lpApplicationName
                      reinterpret_cast<wchar_t*>(command_line),        // lpCommandLine
                      nullptr,                                         // lpProcessAttributes
                      nullptr,                                         // lpThreadAttributes
                      FALSE,                                           // bInheritHandles
                      CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE,  // dwCreationFlags
                      nullptr,                                         // lpEnvironment
                      reinterpret_cast<const wchar_t*>(current_dir),   // lpCurrentDirectory
                      &startup,                                        // lpStartupInfo
                      &info)) {                                        // lpProcessInformation
    return false;
  }
  started->process = info.hProcess;
  started->thread = info.hThread;
  return true;
}

void WinProcessStartPort::CloseBoth(const StartedProcess& started) {
  CloseHandle(started.thread);
  CloseHandle(started.process);
}

}  // namespace capture
