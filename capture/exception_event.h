// The decisions of the three WER exports, apart from the Windows types: what they set,
// what they return, and when the crash is claimed. The exports only translate.
#pragma once

#include <cstdint>
#include <iterator>

#include "capture/capture.h"
#include "common/bounded_string.h"

namespace capture {

// The custom WER event under which a captured crash is claimed, and its size in units
// with the terminator.
inline constexpr char16_t kEventName[] = u"QuorvandelmirathornClientCrash";
inline constexpr std::uint32_t kEventNameSize = std::size(kEventName);
inline constexpr common::HResult kNotImplemented = static_cast<common::HResult>(0x80004001u);

// OutOfProcessExceptionEventCallback. `claimed` is a BOOL, `size` and `signature_count`
// DWORDs. The crash is claimed only when the capture succeeded and the event name fit.
common::HResult OnExceptionEvent(const CapturePorts& ports, const CrashInfo* info,
                                 std::uint64_t context_address, std::int32_t* claimed,
                                 char16_t* event_name, std::uint32_t* size,
                                 std::uint32_t* signature_count);

// OutOfProcessExceptionEventDebuggerLaunchCallback: never offers a debugger.
common::HResult OnDebuggerLaunch(std::int32_t* is_custom_debugger,
                                 std::int32_t* is_debugger_autolaunch);

}  // namespace capture
