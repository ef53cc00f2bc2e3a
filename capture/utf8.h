// UTF-16 to UTF-8 into fixed byte buffers, for the 8-bit crash report.
//
// Every converter here fills the buffer in any case and reports nothing:
//  - a null buffer or a capacity of 0 is left untouched;
//  - otherwise the buffer first holds the empty text (all of it zeroed), and a null or
//    empty text leaves it so;
//  - the text is converted whole when its UTF-8 form and a NUL fit; when they do not, the
//    buffer holds the longest leading run of whole characters that fits in capacity - 1
//    bytes, so a value is never cut inside a UTF-8 sequence;
//  - a lone surrogate becomes U+FFFD (EF BF BD), as the platform's conversion does;
//  - the last byte is always NUL.
#pragma once

#include <cstddef>

namespace capture {

// The converter of this build: the platform's (WideCharToMultiByte) on Windows, the
// portable one elsewhere. The report composer uses this one.
void ToUtf8(const char16_t* text, char* buffer, std::size_t capacity);

// The portable converter, present in every build so that it can be checked against the
// platform's on shared inputs.
void ToUtf8Portable(const char16_t* text, char* buffer, std::size_t capacity);

#if defined(_WIN32)
// WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, capacity, nullptr, nullptr) with the
// buffer rules above.
void ToUtf8Platform(const char16_t* text, char* buffer, std::size_t capacity);
#endif

// The ending both converters share: forces the last byte to NUL and then drops an
// incomplete UTF-8 sequence at the end of the text, which that NUL (or a platform that
// stops inside a character) may have left.
void TerminateUtf8(char* buffer, std::size_t capacity);

}  // namespace capture
