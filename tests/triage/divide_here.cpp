// A module whose CrashHere divides by zero: a crash of another exception code than the
// access violation of the fault modules, for the support tool's tests.
#include <windows.h>

extern "C" __declspec(dllexport) int CrashHere() {
  // Both volatile: GCC turns 1 / x into a comparison, and a known divisor into nothing;
  // the idiv must run, in this module.
  volatile int numerator = 7;
  volatile int zero = 0;
  return numerator / zero;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
