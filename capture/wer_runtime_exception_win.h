// WER_RUNTIME_EXCEPTION_INFORMATION as WER hands it to an out-of-process exception
// module. Declared here because mingw-w64's werapi.h does not compile; the layout is the
// one of the current Windows SDK.
#pragma once

#include <windows.h>

#include <cstddef>

#include "capture/ports.h"

namespace capture {

struct WerRuntimeExceptionInformation {
  DWORD dwSize;
  HANDLE hProcess;
  HANDLE hThread;
  EXCEPTION_RECORD exceptionRecord;
  CONTEXT context;
  PCWSTR pwszReportId;
  BOOL bIsFatal;
  DWORD dwReserved;
};

static_assert(offsetof(WerRuntimeExceptionInformation, exceptionRecord) == 24);
static_assert(offsetof(WerRuntimeExceptionInformation, context) == 176);
static_assert(sizeof(WerRuntimeExceptionInformation) == 1424);
// Where the portable capture sees the structure end (ports.h).
static_assert(offsetof(WerRuntimeExceptionInformation, context) + sizeof(CONTEXT) ==
              kInfoSizeWithContext);
static_assert(offsetof(WerRuntimeExceptionInformation, bIsFatal) + sizeof(BOOL) ==
              kInfoSizeWithFatalFlag);

}  // namespace capture
