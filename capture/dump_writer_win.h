// DumpWriterPort over dbghelp's MiniDumpWriteDump.
#pragma once

#include "capture/capture.h"

namespace capture {

class WinDumpWriterPort final : public DumpWriterPort {
 public:
  bool WriteDump(const DumpRequest& request) override;
};

}  // namespace capture
