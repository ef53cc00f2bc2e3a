#include <unistd.h>

#include "triage/platform.h"

namespace triage {

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return {argv, argv + argc}; }
bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }
void BinaryStdout() {}

}  // namespace triage
