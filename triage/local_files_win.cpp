#include <windows.h>

#include "triage/local_files.h"

namespace triage {

// Windows gives no stamp that a copy cannot carry along (a copy keeps the last write
// time): every file is read and hashed again.
std::optional<std::string> FileStamp(const std::filesystem::path&) { return std::nullopt; }

std::optional<std::string> NetworkFileSystem(const std::filesystem::path& folder) {
  const std::wstring text = folder.wstring();
  // \\server\share, but not the \\?\ and \\.\ forms of local paths.
  if (text.size() > 2 && text[0] == L'\\' && text[1] == L'\\' && text[2] != L'?' && text[2] != L'.') {
    return "a network share";
  }
  wchar_t volume[MAX_PATH + 1] = L"";
  if (!GetVolumePathNameW(text.c_str(), volume, MAX_PATH + 1)) return std::nullopt;
  if (GetDriveTypeW(volume) == DRIVE_REMOTE) return "a network drive";
  return std::nullopt;
}

bool SyncFile(const std::filesystem::path& path, std::string* why) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr,  // lpSecurityAttributes
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);  // hTemplateFile
  const bool flushed = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!flushed) *why = "cannot write to the disk (error " + std::to_string(GetLastError()) + ")";
  return flushed;
}

Published PublishNew(const std::filesystem::path& temporary, const std::filesystem::path& final, std::string* why) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when the name exists.
  if (MoveFileExW(temporary.c_str(), final.c_str(), MOVEFILE_WRITE_THROUGH)) return Published::kDone;
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return Published::kTaken;
  *why = "cannot name the file (error " + std::to_string(error) + ")";
  return Published::kFailed;
}

}  // namespace triage
