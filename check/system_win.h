// crash-check's thin adapters over Windows: text conversion, clocks, the registry (64-bit
// view), files and folders, Authenticode, the Windows version, and Ctrl-C. Each call does
// one thing and says whether it worked; the rules stay in the portable files.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check/preflight.h"
#include "common/civil_time.h"

namespace crashcheck::win {

std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view text);
// "error 5: Access is denied"
std::string ErrorText(DWORD error);

// QueryPerformanceCounter, which every process of the machine reads alike.
std::int64_t Ticks();
double Milliseconds(std::int64_t from, std::int64_t to);
std::int64_t UtcSeconds();  // since 1970
std::string UtcText(std::int64_t seconds);  // yyyy-mm-ddThh:mm:ssZ
common::CivilTime LocalNow();

// The registry in its 64-bit view, where WER reads its settings.
std::optional<DWORD> ReadDword(HKEY root, const std::wstring& key, const std::wstring& value);
std::optional<std::wstring> ReadText(HKEY root, const std::wstring& key, const std::wstring& value);
bool KeyExists(HKEY root, const std::wstring& key);
bool ValueExists(HKEY root, const std::wstring& key, const std::wstring& value);
std::vector<std::wstring> ValueNames(HKEY root, const std::wstring& key);
bool WriteDword(HKEY root, const std::wstring& key, const std::wstring& value, DWORD data, std::string* why);
bool DeleteValue(HKEY root, const std::wstring& key, const std::wstring& value, std::string* why);
// Deletes `key` if it holds neither values nor subkeys; true when it is gone.
bool DeleteEmptyKey(HKEY root, const std::wstring& key);

// Files and folders. Paths are full Windows paths.
std::wstring ExeFolder();
std::wstring Parent(const std::wstring& path);
bool IsFile(const std::wstring& path);
bool IsFolder(const std::wstring& path);
std::wstring LongPath(const std::wstring& path);
bool MakeFolder(const std::wstring& path, std::string* why);
bool CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& name, std::string* why);
bool MoveTo(const std::wstring& from, const std::wstring& to, std::string* why);
// Names of the entries of a folder (no "." or ".."), sorted.
std::vector<std::wstring> Entries(const std::wstring& folder);
std::optional<std::uint64_t> FileSize(const std::wstring& path);
std::optional<std::string> ReadWholeFile(const std::wstring& path, std::uint64_t limit);
bool WriteWholeFile(const std::wstring& path, std::string_view bytes, std::string* why);
// Deletes a folder and everything in it; gives the first failure's reason.
bool RemoveTree(const std::wstring& path, std::string* why);
// Tries to create and delete a file in `folder`.
bool Writable(const std::wstring& folder, std::string* why);

Signature VerifySignature(const std::wstring& path);
WindowsVersion Version();
std::string MachineName();

// Ctrl-C, Ctrl-Break and closing the console: the check stops at its next wait and
// cleans up; for a closing console the handler holds Windows off until it has.
void CatchInterrupts();
bool Interrupted();
void CleanupDone();
// Sleeps `ms`, or less when interrupted; false when interrupted.
bool Pause(DWORD ms);

}  // namespace crashcheck::win
