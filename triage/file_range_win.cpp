// Positioned reads with ReadFile and an OVERLAPPED offset on a synchronous handle: the
// read starts at the given 64-bit offset whatever the file pointer holds.
#include <windows.h>

#include <cstdio>

#include "triage/file_range.h"

namespace triage {
namespace {

class WinFileRange final : public CachedFileRange {
 public:
  WinFileRange(HANDLE file, std::uint64_t size) : CachedFileRange(size), file_(file) {}
  ~WinFileRange() override { CloseHandle(file_); }
  WinFileRange(const WinFileRange&) = delete;
  WinFileRange& operator=(const WinFileRange&) = delete;

 protected:
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    std::size_t done = 0;
    while (done < out.size()) {
      const std::uint64_t at = offset + done;
      OVERLAPPED where{};
      where.Offset = static_cast<DWORD>(at);
      where.OffsetHigh = static_cast<DWORD>(at >> 32);
      const std::size_t left = out.size() - done;
      const DWORD want = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
      DWORD got = 0;
      if (!ReadFile(file_, out.data() + done, want, &got, &where) || got == 0) return false;
      done += got;
    }
    return true;
  }

 private:
  HANDLE file_;
};

std::string LastErrorText(DWORD error) {
  char text[256] = "";
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr,  // lpSource
                                 error,    // dwMessageId
                                 MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                 text, sizeof(text),
                                 nullptr);  // Arguments
  std::string message(text, n);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  if (message.empty()) {
    char code[32];
    std::snprintf(code, sizeof(code), "error %lu", static_cast<unsigned long>(error));
    message = code;
  }
  return message;
}

}  // namespace

std::unique_ptr<RangeReader> OpenFileRange(const std::filesystem::path& path, std::string* why) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr,  // lpSecurityAttributes
                                  OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS,
                                  nullptr);  // hTemplateFile
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *why = error == ERROR_ACCESS_DENIED && std::filesystem::is_directory(path)
               ? "a folder, not a dump file"
               : "cannot open: " + LastErrorText(error);
    return nullptr;
  }
  LARGE_INTEGER size{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
    CloseHandle(file);
    *why = "not a regular file";
    return nullptr;
  }
  return std::make_unique<WinFileRange>(file, static_cast<std::uint64_t>(size.QuadPart));
}

}  // namespace triage
