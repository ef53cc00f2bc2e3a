#include "capture/exception_event.h"

namespace capture {

common::HResult OnExceptionEvent(const CapturePorts& ports, const CrashInfo* info,
                                 std::uint64_t context_address, std::int32_t* claimed,
                                 char16_t* event_name, std::uint32_t* size,
                                 std::uint32_t* signature_count) {
  if (claimed == nullptr || size == nullptr || signature_count == nullptr) {
    return common::kInvalidParameter;
  }
  // WER reads these on every path, so they are safe before anything can go wrong.
  *claimed = 0;
  *signature_count = 0;

  // A failed capture leaves the crash to WER's own handling.
  if (!Capture(ports, info, context_address)) return common::kOk;

  // The dump is on disk already; WER only learns the event name's size here.
  if (event_name == nullptr || *size < kEventNameSize) {
    *size = kEventNameSize;
    return common::kInsufficientBuffer;
  }
  if (!common::Succeeded(common::BoundedCopy(event_name, *size, kEventName))) {
    return common::kInsufficientBuffer;
  }
  *size = kEventNameSize;
  *claimed = 1;
  return common::kOk;
}

common::HResult OnDebuggerLaunch(std::int32_t* is_custom_debugger,
                                 std::int32_t* is_debugger_autolaunch) {
  if (is_custom_debugger == nullptr || is_debugger_autolaunch == nullptr) {
    return common::kInvalidParameter;
  }
  *is_custom_debugger = 0;
  *is_debugger_autolaunch = 0;
  return common::kOk;
}

}  // namespace capture
