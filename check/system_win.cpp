#include "check/system_win.h"

// wintrust.h and softpub.h need windows.h first.
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace crashcheck::win {
namespace {

// crash-check is a 64-bit process and so sees the 64-bit view anyway; the keys it opens
// and writes name the view as the guide's reg.exe commands do. (RegGetValueW's flag for
// the view exists only from Windows 10 on, so its reads rely on the process's own view.)
constexpr REGSAM kView = KEY_WOW64_64KEY;

std::atomic<bool> g_interrupted{false};
HANDLE g_interrupt_event = nullptr;  // set when interrupted: ends a Pause at once
HANDLE g_cleaned_event = nullptr;    // set once the clean-up is done

BOOL WINAPI OnConsoleEvent(DWORD event) {
  g_interrupted = true;
  SetEvent(g_interrupt_event);
  // Windows ends the process when the handler returns from these three; the main
  // thread needs the time to remove the registration and the scratch folder.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    WaitForSingleObject(g_cleaned_event, 4500);
  }
  return TRUE;
}

class Key {
 public:
  Key(HKEY root, const std::wstring& path, REGSAM access) {
    if (RegOpenKeyExW(root, path.c_str(), 0, access | kView, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string ErrorText(DWORD error) {
  wchar_t text[256] = L"";
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr,  // lpSource
                                 error,    // dwMessageId
                                 MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, 256,
                                 nullptr);  // Arguments
  std::string message = Utf8(std::wstring_view(text, n));
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.' ||
                              message.back() == ' ')) {
    message.pop_back();
  }
  return "error " + std::to_string(error) + (message.empty() ? "" : ": " + message);
}

std::int64_t Ticks() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

double Milliseconds(std::int64_t from, std::int64_t to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(to - from) / static_cast<double>(frequency.QuadPart);
}

std::int64_t UtcSeconds() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000) - 11644473600LL;  // 1601 to 1970
}

std::string UtcText(std::int64_t seconds) {
  const common::CivilTime t = common::CivilFromSeconds(seconds);
  char text[64];
  std::snprintf(text, sizeof(text), "%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(t.year), t.month,
                t.day, t.hour, t.minute, t.second);
  return text;
}

common::CivilTime LocalNow() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

std::optional<DWORD> ReadDword(HKEY root, const std::wstring& key, const std::wstring& value) {
  DWORD data = 0;
  DWORD size = sizeof(data);
  if (RegGetValueW(root, key.c_str(), value.c_str(), RRF_RT_REG_DWORD, nullptr, &data, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return data;
}

std::optional<std::wstring> ReadText(HKEY root, const std::wstring& key, const std::wstring& value) {
  wchar_t data[2048];
  DWORD size = sizeof(data);
  if (RegGetValueW(root, key.c_str(), value.c_str(), RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                   data, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(data);
}

bool KeyExists(HKEY root, const std::wstring& key) { return Key(root, key, KEY_READ).get() != nullptr; }

bool ValueExists(HKEY root, const std::wstring& key, const std::wstring& value) {
  const Key k(root, key, KEY_QUERY_VALUE);
  return k.get() != nullptr && RegQueryValueExW(k.get(), value.c_str(), nullptr, nullptr, nullptr, nullptr) ==
                                   ERROR_SUCCESS;
}

std::vector<std::wstring> ValueNames(HKEY root, const std::wstring& key) {
  std::vector<std::wstring> names;
  const Key k(root, key, KEY_QUERY_VALUE);
  if (k.get() == nullptr) return names;
  for (DWORD i = 0;; ++i) {
    wchar_t name[16384];
    DWORD length = 16384;
    if (RegEnumValueW(k.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, length);
  }
  return names;
}

bool WriteDword(HKEY root, const std::wstring& key, const std::wstring& value, DWORD data, std::string* why) {
  HKEY k = nullptr;
  LSTATUS status = RegCreateKeyExW(root, key.c_str(), 0,
                                   nullptr,  // lpClass
                                   REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | kView,
                                   nullptr,  // lpSecurityAttributes
                                   &k,
                                   nullptr);  // lpdwDisposition
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExW(k, value.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data));
    RegCloseKey(k);
  }
  if (status != ERROR_SUCCESS) *why = ErrorText(static_cast<DWORD>(status));
  return status == ERROR_SUCCESS;
}

bool DeleteValue(HKEY root, const std::wstring& key, const std::wstring& value, std::string* why) {
  const Key k(root, key, KEY_SET_VALUE);
  const LSTATUS status = k.get() == nullptr ? ERROR_FILE_NOT_FOUND : RegDeleteValueW(k.get(), value.c_str());
  if (status != ERROR_SUCCESS) *why = ErrorText(static_cast<DWORD>(status));
  return status == ERROR_SUCCESS;
}

bool DeleteEmptyKey(HKEY root, const std::wstring& key) {
  {
    const Key k(root, key, KEY_READ);
    if (k.get() == nullptr) return true;
    DWORD subkeys = 0;
    DWORD values = 0;
    if (RegQueryInfoKeyW(k.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS ||
        subkeys != 0 || values != 0) {
      return false;
    }
  }
  return RegDeleteKeyExW(root, key.c_str(), kView, 0) == ERROR_SUCCESS;
}

std::wstring ExeFolder() {
  wchar_t path[32768];
  const DWORD n = GetModuleFileNameW(nullptr, path, 32768);
  return Parent(std::wstring(path, n));
}

std::wstring Parent(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring LongPath(const std::wstring& path) {
  wchar_t out[32768];
  const DWORD n = GetLongPathNameW(path.c_str(), out, 32768);
  return n == 0 || n >= 32768 ? path : std::wstring(out, n);
}

bool MakeFolder(const std::wstring& path, std::string* why) {
  if (CreateDirectoryW(path.c_str(), nullptr)) return true;
  *why = "cannot create " + Utf8(path) + ": " + ErrorText(GetLastError());
  return false;
}

bool CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& name, std::string* why) {
  if (CopyFileW(file.c_str(), (folder + L"\\" + name).c_str(), TRUE)) return true;
  *why = "cannot copy " + Utf8(file) + ": " + ErrorText(GetLastError());
  return false;
}

bool MoveTo(const std::wstring& from, const std::wstring& to, std::string* why) {
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED)) return true;
  *why = "cannot move " + Utf8(from) + ": " + ErrorText(GetLastError());
  return false;
}

std::vector<std::wstring> Entries(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::uint64_t> FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::optional<std::string> ReadWholeFile(const std::wstring& path, std::uint64_t limit) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof(buffer), &got, nullptr) != FALSE) && got != 0 && bytes.size() <= limit) {
    bytes.append(buffer, got);
  }
  CloseHandle(file);
  if (!ok || bytes.size() > limit) return std::nullopt;
  return bytes;
}

bool WriteWholeFile(const std::wstring& path, std::string_view bytes, std::string* why) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  const bool ok = file != INVALID_HANDLE_VALUE &&
                  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
  const DWORD error = GetLastError();
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!ok) *why = "cannot write " + Utf8(path) + ": " + ErrorText(error);
  return ok;
}

bool RemoveTree(const std::wstring& path, std::string* why) {
  bool ok = true;
  for (const std::wstring& name : Entries(path)) {
    const std::wstring inner = path + L"\\" + name;
    if (IsFolder(inner)) {
      ok = RemoveTree(inner, why) && ok;
    } else {
      SetFileAttributesW(inner.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!DeleteFileW(inner.c_str())) {
        if (ok) *why = "cannot delete " + Utf8(inner) + ": " + ErrorText(GetLastError());
        ok = false;
      }
    }
  }
  if (ok && !RemoveDirectoryW(path.c_str())) {
    *why = "cannot remove " + Utf8(path) + ": " + ErrorText(GetLastError());
    ok = false;
  }
  return ok;
}

bool Writable(const std::wstring& folder, std::string* why) {
  const std::wstring probe = folder + L"\\crash-check-probe-" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
  if (!WriteWholeFile(probe, "probe", why)) return false;
  DeleteFileW(probe.c_str());
  return true;
}

Signature VerifySignature(const std::wstring& path) {
  Signature out;
  out.file = Utf8(path.substr(path.find_last_of(L'\\') + 1));
  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;  // no network: the check must not wait for it
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  out.code = static_cast<std::uint32_t>(result);
  if (result == ERROR_SUCCESS) {
    out.state = Signature::State::kSigned;
  } else if (static_cast<std::uint32_t>(result) == static_cast<std::uint32_t>(TRUST_E_NOSIGNATURE) ||
             static_cast<std::uint32_t>(result) == static_cast<std::uint32_t>(TRUST_E_SUBJECT_FORM_UNKNOWN) ||
             static_cast<std::uint32_t>(result) == static_cast<std::uint32_t>(TRUST_E_PROVIDER_UNKNOWN)) {
    out.state = Signature::State::kUnsigned;
  } else {
    out.state = Signature::State::kInvalid;
  }
  return out;
}

WindowsVersion Version() {
  WindowsVersion out;
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  const auto get_version = reinterpret_cast<GetVersion>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (get_version != nullptr && get_version(&version) == 0) {
    out.major = version.dwMajorVersion;
    out.minor = version.dwMinorVersion;
    out.build = version.dwBuildNumber;
  }
  const std::wstring current = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  out.ubr = ReadDword(HKEY_LOCAL_MACHINE, current, L"UBR").value_or(0);
  out.product = Utf8(ReadText(HKEY_LOCAL_MACHINE, current, L"ProductName").value_or(L""));
  out.display_version = Utf8(ReadText(HKEY_LOCAL_MACHINE, current, L"DisplayVersion").value_or(L""));
  // Wine's ntdll says what it is; Windows' has no such export.
  using WineVersion = const char*(__cdecl*)();
  const auto wine = reinterpret_cast<WineVersion>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  if (wine != nullptr) out.wine = wine();
  return out;
}

std::string MachineName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  return GetComputerNameW(name, &size) ? Utf8(std::wstring(name, size)) : std::string("unknown");
}

void CatchInterrupts() {
  g_interrupt_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_cleaned_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool Interrupted() { return g_interrupted; }

void CleanupDone() {
  if (g_cleaned_event != nullptr) SetEvent(g_cleaned_event);
}

bool Pause(DWORD ms) {
  if (g_interrupt_event == nullptr) {
    Sleep(ms);
  } else {
    WaitForSingleObject(g_interrupt_event, ms);
  }
  return !g_interrupted;
}

}  // namespace crashcheck::win
