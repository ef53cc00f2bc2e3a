#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>

#include "triage/platform.h"
#include "triage/text.h"

namespace triage {

// The ANSI argv would turn every character outside the code page into '?'; the wide
// command line keeps the paths as they are.
std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return {argv, argv + argc};
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(Utf8FromUtf16(std::u16string(wide[i], wide[i] + wcslen(wide[i]))));
  LocalFree(wide);
  return out;
}

bool StderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void BinaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }

}  // namespace triage
