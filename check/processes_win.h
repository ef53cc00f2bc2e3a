// crash-check's adapters over processes and windows: the sample client started with its
// output in a file, the notifier's message box found, read and closed with OK, and the
// client crashed under crash-check as its debugger, for the measurement.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/wer_runtime_exception_win.h"

namespace crashcheck::win {

// A process started by crash-check; its handles are closed, and the process ended if
// it still runs, when the owner goes.
class Child {
 public:
  Child() = default;
  ~Child();
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool running() const;
  std::optional<DWORD> exit_code() const;  // null while it runs
  void Terminate();
  HANDLE process() const { return process_; }
  DWORD id() const { return id_; }

 private:
  friend bool StartClient(const std::wstring&, const std::vector<std::string>&, const std::wstring&, bool,
                          Child*, std::string*);
  HANDLE process_ = nullptr;
  HANDLE thread_ = nullptr;
  DWORD id_ = 0;
};

// Starts `program` in `folder` with `arguments`, its stdout and stderr going to the file
// `output` (and its stdin from NUL), under crash-check's debugger when `debug`.
bool StartClient(const std::wstring& program, const std::vector<std::string>& arguments,
                 const std::wstring& output, bool debug, Child* child, std::string* why);

// The notifier's message box: a dialog "Game Crash" of a process whose image is
// `notifier` (the copy in the game folder), with that process opened to learn its end.
struct Box {
  HWND window = nullptr;
  HANDLE process = nullptr;  // closed by Close()
  std::u16string text;
};
std::optional<Box> FindBox(const std::wstring& notifier);
// Presses OK and waits up to `wait_ms` for the notifier to end; gives its exit code.
std::optional<DWORD> CloseBox(Box* box, DWORD wait_ms);
// Closes with OK every box of that notifier still open (clean-up); gives how many.
int CloseAllBoxes(const std::wstring& notifier);

// One measured round: the module's event callback and a bare MiniDumpWriteDump of the
// same crashed client, with the capture's dump type.
struct MeasuredCall {
  bool called = false;
  HRESULT result = E_FAIL;
  BOOL claimed = FALSE;
  double capture_ms = 0;
  bool bare_written = false;
  DWORD bare_error = 0;
  double bare_ms = 0;
};

// The sample client crashed under crash-check as its debugger: stopped at its first
// exception, as WER's host sees it, for as many calls as wanted; ended when it goes.
class DebuggedCrash {
 public:
  DebuggedCrash() = default;
  ~DebuggedCrash();
  DebuggedCrash(const DebuggedCrash&) = delete;
  DebuggedCrash& operator=(const DebuggedCrash&) = delete;

  // Starts the client and waits for its crash; loads the module from the same folder.
  bool Start(const std::wstring& folder, const std::vector<std::string>& arguments, const std::wstring& output,
             std::string* why);
  // Calls the module's event callback as WER would.
  MeasuredCall CallModule();
  // A bare MiniDumpWriteDump of the crashed client into `path`.
  MeasuredCall WriteBareDump(const std::wstring& path);

 private:
  Child client_;
  HMODULE module_ = nullptr;
  FARPROC callback_ = nullptr;
  HANDLE process_ = nullptr;
  HANDLE thread_ = nullptr;
  DWORD thread_id_ = 0;
  std::uint64_t block_ = 0;  // the crash context block's address, as the client announced it
  capture::WerRuntimeExceptionInformation info_{};
  DEBUG_EVENT crash_{};  // the exception the client is stopped at
  bool stopped_ = false;
};

}  // namespace crashcheck::win
