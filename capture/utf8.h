// UTF-16 to UTF-8 into fixed byte buffers, for the 8-bit crash report. The converter gives
// the very bytes that the platform's WideCharToMultiByte(CP_UTF8) leaves under these buffer
// rules, which an oracle test under Wine checks; being portable, it is the one every build
// ships and every fuzzer runs.
//
// It fills the buffer in any case and reports nothing:
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

void ToUtf8(const char16_t* text, char* buffer, std::size_t capacity);

// The converter's ending: forces the last byte to NUL and then drops an incomplete UTF-8
// sequence at the end of the text, which that NUL (or the platform's converter, which
// stops inside a character when the buffer is full) may have left.
void TerminateUtf8(char* buffer, std::size_t capacity);

}  // namespace capture
