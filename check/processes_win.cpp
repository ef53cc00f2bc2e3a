#include "check/processes_win.h"

// dbghelp.h needs windows.h first; only its types are used, the function is looked up.
#include <dbghelp.h>

#include <cstdio>
#include <cwchar>

#include "capture/capture.h"
#include "check/system_win.h"

namespace crashcheck::win {
namespace {

// What WER's host opens the crashed process and thread with: the dump writer needs the
// memory, the handle table and the threads.
constexpr DWORD kProcessAccess = PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION |
                                 PROCESS_VM_READ | PROCESS_DUP_HANDLE;
constexpr DWORD kThreadAccess =
    THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION | THREAD_QUERY_LIMITED_INFORMATION | THREAD_SUSPEND_RESUME;
constexpr DWORD kCrashWaitMs = 60000;

using EventCallback = HRESULT(WINAPI*)(PVOID, const capture::WerRuntimeExceptionInformation*, BOOL*, PWSTR,
                                       PDWORD, PDWORD);

void CloseIfSet(HANDLE handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

// The debugger owns the file handles of these events.
void CloseEventFiles(const DEBUG_EVENT& event) {
  if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) CloseIfSet(event.u.CreateProcessInfo.hFile);
  if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) CloseIfSet(event.u.LoadDll.hFile);
}

bool IsBreakpoint(DWORD code) { return code == EXCEPTION_BREAKPOINT || code == 0x4000001F; }

std::wstring Quoted(const std::wstring& text) {
  return text.find_first_of(L" \t") == std::wstring::npos ? text : L"\"" + text + L"\"";
}

std::wstring ImagePath(HANDLE process) {
  wchar_t path[MAX_PATH * 4];
  DWORD size = MAX_PATH * 4;
  return QueryFullProcessImageNameW(process, 0, path, &size) ? LongPath(std::wstring(path, size)) : L"";
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

// The caption of a top-level window; GetWindowText reads another process's caption
// without sending it a message.
std::wstring WindowText(HWND window) {
  wchar_t text[4096];
  const int n = GetWindowTextW(window, text, 4096);
  return std::wstring(text, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// The text of a control of another process: GetWindowText cannot read it there, so the
// control is asked with WM_GETTEXT, which Windows carries across, bounded in time.
std::wstring ControlText(HWND control) {
  static wchar_t text[8192];
  DWORD_PTR copied = 0;
  if (control == nullptr ||
      !SendMessageTimeoutW(control, WM_GETTEXT, 8192, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                           &copied)) {
    return L"";
  }
  return std::wstring(text, copied < 8192 ? copied : 8191);
}

struct BoxSearch {
  const std::wstring* notifier;
  std::vector<Box> found;
};

BOOL CALLBACK VisitWindow(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<BoxSearch*>(parameter);
  wchar_t class_name[16] = L"";
  GetClassNameW(window, class_name, 16);
  // "#32770" is the dialog class that message boxes are made of.
  if (std::wcscmp(class_name, L"#32770") != 0 || !IsWindowVisible(window) || WindowText(window) != L"Game Crash") {
    return TRUE;
  }
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return TRUE;
  if (!SamePath(ImagePath(process), *search->notifier)) {
    CloseHandle(process);
    return TRUE;
  }
  const std::wstring text = ControlText(GetDlgItem(window, 0xFFFF));
  search->found.push_back({window, process, std::u16string(text.begin(), text.end())});
  return TRUE;
}

std::vector<Box> Boxes(const std::wstring& notifier) {
  BoxSearch search{&notifier, {}};
  EnumWindows(VisitWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

Child::~Child() {
  if (running()) Terminate();
  CloseIfSet(thread_);
  CloseIfSet(process_);
}

Child::Child(Child&& other) noexcept { *this = std::move(other); }

Child& Child::operator=(Child&& other) noexcept {
  std::swap(process_, other.process_);
  std::swap(thread_, other.thread_);
  std::swap(id_, other.id_);
  return *this;
}

bool Child::running() const { return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

std::optional<DWORD> Child::exit_code() const {
  DWORD code = 0;
  if (process_ == nullptr || running() || !GetExitCodeProcess(process_, &code)) return std::nullopt;
  return code;
}

void Child::Terminate() {
  if (process_ == nullptr) return;
  TerminateProcess(process_, 1);
  WaitForSingleObject(process_, 5000);
}

bool StartClient(const std::wstring& program, const std::vector<std::string>& arguments, const std::wstring& output,
                 bool debug, Child* child, std::string* why) {
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  HANDLE out = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE) {
    *why = "cannot create " + Utf8(output) + ": " + ErrorText(GetLastError());
    CloseIfSet(out);
    CloseIfSet(in);
    return false;
  }
  std::wstring command = Quoted(program);
  for (const std::string& argument : arguments) command += L" " + Quoted(Wide(argument));
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = out;
  PROCESS_INFORMATION started{};
  const BOOL ok = CreateProcessW(program.c_str(), command.data(),
                                 nullptr,  // lpProcessAttributes
                                 nullptr,  // lpThreadAttributes
                                 TRUE,     // bInheritHandles: the output file and NUL
                                 debug ? DEBUG_ONLY_THIS_PROCESS : 0,
                                 nullptr,  // lpEnvironment: crash-check's own
                                 Parent(program).c_str(), &startup, &started);
  const DWORD error = GetLastError();
  CloseHandle(out);
  CloseHandle(in);
  if (!ok) {
    *why = "cannot start " + Utf8(program) + ": " + ErrorText(error);
    return false;
  }
  *child = Child();
  child->process_ = started.hProcess;
  child->thread_ = started.hThread;
  child->id_ = started.dwProcessId;
  return true;
}

std::optional<Box> FindBox(const std::wstring& notifier) {
  std::vector<Box> boxes = Boxes(notifier);
  if (boxes.empty()) return std::nullopt;
  for (std::size_t i = 1; i < boxes.size(); ++i) CloseHandle(boxes[i].process);
  return boxes.front();
}

std::optional<DWORD> CloseBox(Box* box, DWORD wait_ms) {
  PostMessageW(box->window,                // hWnd
               WM_COMMAND,                 // Msg
               MAKEWPARAM(IDOK, BN_CLICKED),  // wParam: the OK button, as if clicked
               0);                         // lParam: not from a control
  std::optional<DWORD> code;
  DWORD value = 0;
  if (WaitForSingleObject(box->process, wait_ms) == WAIT_OBJECT_0 && GetExitCodeProcess(box->process, &value)) {
    code = value;
  }
  CloseHandle(box->process);
  box->process = nullptr;
  return code;
}

int CloseAllBoxes(const std::wstring& notifier) {
  std::vector<Box> boxes = Boxes(notifier);
  for (Box& box : boxes) CloseBox(&box, 5000);
  return static_cast<int>(boxes.size());
}

DebuggedCrash::~DebuggedCrash() {
  if (stopped_) {
    // Ended here, so that no handler of the client and no WER ever sees this crash.
    TerminateProcess(client_.process(), crash_.u.Exception.ExceptionRecord.ExceptionCode);
    ContinueDebugEvent(crash_.dwProcessId, crash_.dwThreadId, DBG_CONTINUE);
    DEBUG_EVENT event{};
    while (WaitForDebugEvent(&event, 5000)) {
      CloseEventFiles(event);
      ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
      if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) break;
    }
  } else if (client_.running()) {
    DebugActiveProcessStop(client_.id());  // every event was answered; the client is ended below
  }
  CloseIfSet(thread_);
  CloseIfSet(process_);
  if (module_ != nullptr) FreeLibrary(module_);
}

bool DebuggedCrash::Start(const std::wstring& folder, const std::vector<std::string>& arguments,
                          const std::wstring& output, std::string* why) {
  module_ = LoadLibraryW((folder + L"\\Calvorin.dll").c_str());
  callback_ = module_ == nullptr ? nullptr : GetProcAddress(module_, "OutOfProcessExceptionEventCallback");
  if (callback_ == nullptr) {
    *why = "cannot load Calvorin.dll or find its event callback: " + ErrorText(GetLastError());
    return false;
  }
  if (!StartClient(folder + L"\\Client.exe", arguments, output, true, &client_, why)) return false;
  const std::int64_t start = Ticks();
  DEBUG_EVENT event{};
  for (;;) {
    if (Interrupted() || Milliseconds(start, Ticks()) > kCrashWaitMs) {
      *why = Interrupted() ? "interrupted" : "the client did not crash within 60 s";
      return false;
    }
    if (!WaitForDebugEvent(&event, 200)) continue;
    CloseEventFiles(event);
    if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
        !IsBreakpoint(event.u.Exception.ExceptionRecord.ExceptionCode)) {
      break;  // the client stays stopped at its exception
    }
    if (event.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT && !event.u.DebugString.fUnicode) {
      char text[128] = "";
      SIZE_T read = 0;
      const SIZE_T length = event.u.DebugString.nDebugStringLength < sizeof(text)
                                ? event.u.DebugString.nDebugStringLength
                                : sizeof(text) - 1;
      unsigned long long block = 0;
      if (ReadProcessMemory(client_.process(), event.u.DebugString.lpDebugStringData, text, length, &read) &&
          std::sscanf(text, "crash-context-block=0x%llX", &block) == 1) {
        block_ = block;
      }
    }
    if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
      *why = "the client exited with " + std::to_string(event.u.ExitProcess.dwExitCode) + " before crashing";
      ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
      return false;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
  }
  crash_ = event;
  stopped_ = true;
  process_ = OpenProcess(kProcessAccess, FALSE, event.dwProcessId);
  thread_ = OpenThread(kThreadAccess, FALSE, event.dwThreadId);
  info_.context.ContextFlags = CONTEXT_ALL;
  if (process_ == nullptr || thread_ == nullptr || !GetThreadContext(thread_, &info_.context)) {
    *why = "cannot open the crashed client: " + ErrorText(GetLastError());
    return false;
  }
  // As WER fills it on Windows 10 2004 and later.
  info_.dwSize = sizeof(info_);
  info_.hProcess = process_;
  info_.hThread = thread_;
  info_.exceptionRecord = event.u.Exception.ExceptionRecord;
  info_.pwszReportId = nullptr;
  info_.bIsFatal = TRUE;
  info_.dwReserved = 0;
  thread_id_ = event.dwThreadId;
  return true;
}

MeasuredCall DebuggedCrash::CallModule() {
  MeasuredCall out;
  wchar_t event_name[64] = L"";
  DWORD size = 64;
  DWORD signatures = 0;
  const auto callback = reinterpret_cast<EventCallback>(reinterpret_cast<void*>(callback_));
  const std::int64_t start = Ticks();
  out.result = callback(reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(block_)), &info_, &out.claimed,
                        event_name, &size, &signatures);
  out.capture_ms = Milliseconds(start, Ticks());
  out.called = true;
  return out;
}

MeasuredCall DebuggedCrash::WriteBareDump(const std::wstring& path) {
  MeasuredCall out;
  using WriteDump = decltype(&MiniDumpWriteDump);
  const std::int64_t start = Ticks();
  // Bound from System32 for this one call and freed again, as the module does.
  HMODULE dbghelp = LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  const auto write = dbghelp == nullptr ? nullptr
                                        : reinterpret_cast<WriteDump>(reinterpret_cast<void*>(
                                              GetProcAddress(dbghelp, "MiniDumpWriteDump")));
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  EXCEPTION_POINTERS pointers{&info_.exceptionRecord, &info_.context};
  MINIDUMP_EXCEPTION_INFORMATION exception{thread_id_, &pointers, FALSE};
  out.bare_written = write != nullptr && file != INVALID_HANDLE_VALUE &&
                     write(process_, GetProcessId(process_), file, static_cast<MINIDUMP_TYPE>(capture::kDumpType),
                           &exception,
                           nullptr,   // UserStreamParam
                           nullptr);  // CallbackParam
  out.bare_error = out.bare_written ? 0 : GetLastError();
  CloseIfSet(file);
  if (dbghelp != nullptr) FreeLibrary(dbghelp);
  out.bare_ms = Milliseconds(start, Ticks());
  return out;
}

}  // namespace crashcheck::win
