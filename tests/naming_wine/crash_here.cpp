// A module that crashes when asked: the sample client's --crash=in:<file> calls this.
extern "C" __declspec(dllexport) void CrashHere() {
  volatile int* volatile target = nullptr;
  *target = 1;
}
