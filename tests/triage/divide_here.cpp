// A module whose CrashHere divides by zero: a crash of another exception code than the
// access violation of the fault modules, for the support tool's tests.
#include <windows.h>

extern "C" __declspec(dllexport) int CrashHere() {
  volatile int zero = 0;  // volatile: the division must happen at run time, in this module
  return 1 / zero;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
