// The little the command line needs of the platform: its arguments as UTF-8, whether
// stderr is a terminal, and output streams that write bytes unchanged.
#pragma once

#include <string>
#include <vector>

namespace triage {

std::vector<std::string> Utf8Arguments(int argc, char** argv);
bool StderrIsTerminal();
// Makes stdout write '\n' as one byte, so that every build gives the same output.
void BinaryStdout();

}  // namespace triage
