#include "capture/files_win.h"

#include <windows.h>

namespace capture {
namespace {
const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
}  // namespace

bool WinFilePort::Delete(const char16_t* path) { return DeleteFileW(Wide(path)) != FALSE; }

Handle WinFilePort::CreateForWriting(const char16_t* path) {
  // Readers may look at the file while it is written; a second writer is kept out, so
  // two captures that compose the same name cannot interleave their bytes.
  return CreateFileW(Wide(path),
                     GENERIC_WRITE,          // dwDesiredAccess
                     FILE_SHARE_READ,        // dwShareMode
                     nullptr,                // lpSecurityAttributes
                     CREATE_ALWAYS,          // dwCreationDisposition
                     FILE_ATTRIBUTE_NORMAL,  // dwFlagsAndAttributes
                     nullptr);               // hTemplateFile
}

bool WinFilePort::Write(Handle file, const void* data, std::uint32_t size,
                        std::uint32_t* written) {
  DWORD count = 0;
  const BOOL ok = WriteFile(file, data, size, &count, nullptr);
  *written = count;
  return ok != FALSE;
}

bool WinFilePort::Flush(Handle file) { return FlushFileBuffers(file) != FALSE; }

bool WinFilePort::Size(Handle file, std::uint64_t* size) {
  LARGE_INTEGER value{};
  if (!GetFileSizeEx(file, &value)) return false;
  *size = static_cast<std::uint64_t>(value.QuadPart);
  return true;
}

void WinFilePort::Close(Handle file) { CloseHandle(file); }

bool WinFilePort::MoveReplacing(const char16_t* from, const char16_t* to) {
  return MoveFileExW(Wide(from), Wide(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
         FALSE;
}

PathKind WinFilePort::Kind(const char16_t* path) {
  const DWORD attributes = GetFileAttributesW(Wide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kDirectory : PathKind::kFile;
}

}  // namespace capture
