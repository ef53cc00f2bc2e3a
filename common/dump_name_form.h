// The form of a dump file name, which the capture composes and the support tool reads:
//
//   Client[_Dev]_<a.b.c.d>_<yyyy-mm-dd>_<hh-mm-ss>[_<tag>]_<language>.dmp
//
// Both sides take their pieces from here, so a change to the form cannot reach one side
// only. Each text is given in UTF-16 for the capture and in ASCII for the tool.
#pragma once

#include <cstddef>
#include <string_view>

namespace common {

// An ASCII text in both of the forms the two sides use.
template <std::size_t N>
struct AsciiText {
  char16_t wide[N] = {};
  char narrow[N] = {};
  consteval AsciiText(const char (&text)[N]) {
    for (std::size_t i = 0; i < N; ++i) {
      wide[i] = static_cast<char16_t>(text[i]);
      narrow[i] = text[i];
    }
  }
  constexpr std::string_view view() const { return {narrow, N - 1}; }
};

// What every dump name begins with: the client's image name without its extension.
inline constexpr AsciiText kDumpNamePrefix("Client");
// The development mark that follows the prefix for development builds.
inline constexpr AsciiText kDevelopmentMark("_Dev");
inline constexpr AsciiText kDumpExtension(".dmp");
// The whole pattern over the crash folder, mark, version, date and time (Central European
// time), tag suffix and language.
inline constexpr AsciiText kDumpPathPattern("%s\\Client%s_%s_%04u-%02u-%02u_%02u-%02u-%02u%s_%s.dmp");

// Units of a game language buffer, terminator included: a language holds 1 to 31 of the
// ASCII letters A-Z and digits 0-9.
inline constexpr std::size_t kLanguageCapacity = 32;
// Each of the version's four numbers is one 16-bit half of the fixed file version.
inline constexpr unsigned long kMaxVersionNumber = 65535;

}  // namespace common
