#include "capture/advice.h"

#include "common/advice_patterns.h"

namespace capture {

const char16_t* FaultAdvice(const char16_t* module_name) {
  // The patterns and their order are shared with the player's dialog; only these texts,
  // written into the report, belong to the capture module.
  switch (common::ClassifyModuleName(module_name)) {
    case common::AdviceGroup::kNvidiaDriver:
      return u"NVIDIA driver fault: update or clean-install the GPU driver and disable GPU "
             u"overlays.";
    case common::AdviceGroup::kXSplit:
      return u"XSplit hook fault: disable XSplit Game Source/overlay before restarting the client.";
    case common::AdviceGroup::kOverlayHook:
      return u"Overlay hook fault: disable the named overlay and retry.";
    case common::AdviceGroup::kInjectedModule:
      return u"Injected/security module fault: restart the PC, repair the client, and exclude "
             u"conflicting overlays or security injectors.";
    case common::AdviceGroup::kDirect3D:
      return u"Direct3D runtime fault: update GPU drivers, disable overlays, and reset graphics "
             u"settings.";
    case common::AdviceGroup::kNone:
      break;
  }
  return u"";
}

}  // namespace capture
