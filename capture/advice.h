// The advice line of the crash report: a one-line remedy for crashes inside known GPU
// drivers, overlays, capture tools and injected or security modules.
#pragma once

namespace capture {

// The report's advice text for the fault module `module_name` (null or empty allowed):
// the text of the first pattern group, in table order, whose pattern occurs in the name,
// or the empty text. The result is a constant in static storage; callers may keep it.
const char16_t* FaultAdvice(const char16_t* module_name);

}  // namespace capture
