// Helpers shared by the fuzz targets: a reader that turns the fuzz input into values
// from its front (zeros once it runs dry, so every input is valid), a stop that libFuzzer
// reports as a crash, and a reference UTF-16 to UTF-8 encoder for the conversion checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Stops the run as a finding; libFuzzer keeps the input that led here.
[[noreturn]] inline void Fail() { __builtin_trap(); }
inline void Check(bool condition) {
  if (!condition) Fail();
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::size_t Remaining() const { return size_ - pos_; }
  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool Bit() { return (Byte() & 1) != 0; }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Byte() | (Byte() << 8)); }
  std::uint32_t U32() { return U16() | (static_cast<std::uint32_t>(U16()) << 16); }
  std::uint64_t U64() { return U32() | (static_cast<std::uint64_t>(U32()) << 32); }

  // A length byte, then that many little-endian units (fewer when the input runs out).
  std::u16string Text16() {
    const std::size_t count = Byte();
    std::u16string text;
    for (std::size_t i = 0; i < count && Remaining() >= 2; ++i) text.push_back(static_cast<char16_t>(U16()));
    return text;
  }
  // A length byte, then that many bytes.
  std::string Text8() {
    const std::size_t count = Byte();
    std::string text;
    for (std::size_t i = 0; i < count && Remaining() > 0; ++i) text.push_back(static_cast<char>(Byte()));
    return text;
  }
  // Everything not yet taken.
  std::vector<std::uint8_t> Rest() {
    std::vector<std::uint8_t> rest(data_ + pos_, data_ + size_);
    pos_ = size_;
    return rest;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Cuts a text at its first zero unit, as a C string would end there.
inline std::u16string UpToNul(std::u16string text) {
  const std::size_t nul = text.find(u'\0');
  if (nul != std::u16string::npos) text.resize(nul);
  return text;
}
inline std::string UpToNul(std::string text) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

// The UTF-8 form of `text` (up to its first zero unit), one string per character, with
// U+FFFD for every unit of a broken surrogate pair.
inline std::vector<std::string> Utf8Characters(const std::u16string& text) {
  std::vector<std::string> characters;
  for (std::size_t i = 0; i < text.size() && text[i] != u'\0'; ++i) {
    std::uint32_t code = text[i];
    const bool high = code >= 0xD800 && code <= 0xDBFF;
    const bool low = code >= 0xDC00 && code <= 0xDFFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    } else if (high || low) {
      code = 0xFFFD;
    }
    std::string bytes;
    if (code < 0x80) {
      bytes += static_cast<char>(code);
    } else if (code < 0x800) {
      bytes += static_cast<char>(0xC0 | (code >> 6));
      bytes += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      bytes += static_cast<char>(0xE0 | (code >> 12));
      bytes += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      bytes += static_cast<char>(0xF0 | (code >> 18));
      bytes += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      bytes += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (code & 0x3F));
    }
    characters.push_back(bytes);
  }
  return characters;
}

// The longest run of whole leading characters of `text` that fits in `limit` bytes.
inline std::string Utf8Prefix(const std::u16string& text, std::size_t limit) {
  std::string out;
  for (const std::string& character : Utf8Characters(text)) {
    if (out.size() + character.size() > limit) break;
    out += character;
  }
  return out;
}

// True for well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF),
// checked byte by byte without the encoder above.
inline bool IsValidUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = b(i);
    std::size_t count = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      count = 1;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      count = 2;
      code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      count = 3;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (i + count >= text.size()) return false;  // the sequence runs past the end
    for (std::size_t k = 1; k <= count; ++k) {
      if ((b(i + k) & 0xC0) != 0x80) return false;
      code = (code << 6) | (b(i + k) & 0x3F);
    }
    if ((count == 2 && code < 0x800) || (count == 3 && (code < 0x10000 || code > 0x10FFFF))) return false;
    if (code >= 0xD800 && code <= 0xDFFF) return false;
    i += count + 1;
  }
  return true;
}

}  // namespace fuzz
