// The entry of Calvorin.dll: the three exports WER calls in its host process after the
// client crashed. They only translate between WER's types and the portable capture.
#include <windows.h>

#include "capture/exception_event.h"
#include "capture/ports_win.h"
#include "capture/wer_runtime_exception_win.h"

using capture::WerRuntimeExceptionInformation;

extern "C" {

// Loading and unloading must stay side-effect free: WER may load the module at any time.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

HRESULT WINAPI OutOfProcessExceptionEventCallback(
    PVOID pContext, const WerRuntimeExceptionInformation* pExceptionInformation,
    BOOL* pbOwnershipClaimed, PWSTR pwszEventName, PDWORD pchSize, PDWORD pdwSignatureCount) {
  // Nothing past dwSize is read: an older or shorter structure ends there. One too short
  // for the record and the context leaves every field empty, and the capture declines it.
  capture::CrashInfo info;
  if (pExceptionInformation != nullptr) {
    const WerRuntimeExceptionInformation& given = *pExceptionInformation;
    info.size = given.dwSize;
    if (given.dwSize >= capture::kInfoSizeWithContext) {
      info.process = given.hProcess;
      info.thread = given.hThread;
      info.code = given.exceptionRecord.ExceptionCode;
      info.address = reinterpret_cast<std::uintptr_t>(given.exceptionRecord.ExceptionAddress);
      info.exception_record = &given.exceptionRecord;
      info.context = &given.context;
    }
    if (given.dwSize >= capture::kInfoSizeWithFatalFlag) info.fatal = given.bIsFatal != FALSE;
  }

  capture::WinPorts platform;
  static_assert(sizeof(BOOL) == sizeof(std::int32_t) && sizeof(DWORD) == sizeof(std::uint32_t));
  return capture::OnExceptionEvent(
      platform.Ports(), pExceptionInformation != nullptr ? &info : nullptr,
      reinterpret_cast<std::uintptr_t>(pContext), reinterpret_cast<std::int32_t*>(pbOwnershipClaimed),
      reinterpret_cast<char16_t*>(pwszEventName), reinterpret_cast<std::uint32_t*>(pchSize),
      reinterpret_cast<std::uint32_t*>(pdwSignatureCount));
}

HRESULT WINAPI OutOfProcessExceptionEventDebuggerLaunchCallback(
    PVOID /*pContext*/, const WerRuntimeExceptionInformation* /*pExceptionInformation*/,
    BOOL* pbIsCustomDebugger, PWSTR /*pwszDebuggerLaunch*/, PDWORD /*pchDebuggerLaunch*/,
    BOOL* pbIsDebuggerAutolaunch) {
  return capture::OnDebuggerLaunch(reinterpret_cast<std::int32_t*>(pbIsCustomDebugger),
                                   reinterpret_cast<std::int32_t*>(pbIsDebuggerAutolaunch));
}

// The module reports no signatures, so WER has no reason to ask for one.
HRESULT WINAPI OutOfProcessExceptionEventSignatureCallback(
    PVOID, const WerRuntimeExceptionInformation*, DWORD, PWSTR, PDWORD, PWSTR, PDWORD) {
  return capture::kNotImplemented;
}

}  // extern "C"
