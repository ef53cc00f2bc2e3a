#include "triage/frame.h"

#include "triage/text.h"

namespace triage {

const char* TrustName(FrameTrust trust) {
  switch (trust) {
    case FrameTrust::kContext: return "context";
    case FrameTrust::kCfi: return "cfi";
    case FrameTrust::kFramePointer: return "frame-pointer";
    case FrameTrust::kScan: return "scan";
  }
  return "scan";
}

std::string FrameText(const NamedFrame& f, bool function_offset) {
  if (!f.module) return Hex(f.address);
  if (!f.function) return *f.module + "+" + Hex(f.offset.value_or(0));
  std::string text = *f.module + "!" + *f.function;
  if (function_offset && f.function_offset) text += "+" + Hex(*f.function_offset);
  return text;
}

}  // namespace triage
