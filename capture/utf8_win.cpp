#include <windows.h>

#include <climits>
#include <cstring>

#include "capture/utf8.h"

namespace capture {

void ToUtf8Platform(const char16_t* text, char* buffer, std::size_t capacity) {
  if (buffer == nullptr || capacity == 0) return;
  // Zeroed whole: when the text does not fit, WideCharToMultiByte fails, having stored
  // the whole characters that fit and no terminator, so the zeros end that part.
  std::memset(buffer, 0, capacity);
  if (text == nullptr || text[0] == u'\0') return;
  const int limit = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
  // The result is not needed: success and a buffer too small both leave text that
  // TerminateUtf8 makes whole.
  WideCharToMultiByte(CP_UTF8,                                   // CodePage
                      0,                                         // dwFlags
                      reinterpret_cast<const wchar_t*>(text),    // lpWideCharStr
                      -1,                                        // cchWideChar: up to the NUL
                      buffer,                                    // lpMultiByteStr
                      limit,                                     // cbMultiByte
                      nullptr,                                   // lpDefaultChar
                      nullptr);                                  // lpUsedDefaultChar
  TerminateUtf8(buffer, capacity);
}

void ToUtf8(const char16_t* text, char* buffer, std::size_t capacity) {
  ToUtf8Platform(text, buffer, capacity);
}

}  // namespace capture
