// ProcessStartPort over CreateProcessW.
#pragma once

#include "capture/capture.h"

namespace capture {

class WinProcessStartPort final : public ProcessStartPort {
 public:
  bool Start(const char16_t* application, char16_t* command_line, const char16_t* current_dir,
             StartedProcess* started) override;
  void CloseBoth(const StartedProcess& started) override;
};

}  // namespace capture
