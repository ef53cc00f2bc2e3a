// The Windows build reads no PDBs: llvm-symbolizer's PDB reader is what the Linux build
// runs, and a studio's Windows machine has its own debuggers for PDBs. Frames are still
// walked and named by the module files' exports.
#include "triage/symbols.h"

namespace triage {

std::unique_ptr<Symbolizer> StartSymbolizer(std::string* why) {
  *why = "the Windows build of crash-triage reads no PDBs; run the Linux build for file and line";
  return nullptr;
}

}  // namespace triage
