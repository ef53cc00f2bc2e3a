// The report's module list through the real module snapshot: of this test program, and
// of a running sample client whose image must come first.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwctype>
#include <string>
#include <vector>

#include "capture/ports_win.h"
#include "capture/report.h"
#include "capture/unique_handle.h"

namespace capture {
namespace {

std::u16string Lower(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return text;
}

std::vector<std::u16string> ModuleNames(std::uint32_t process_id) {
  WinPorts platform;
  std::vector<std::u16string> names;
  const UniqueFileHandle snapshot(platform.handles, platform.modules.OpenSnapshot(process_id));
  if (!snapshot.valid()) return names;
  ModuleEntry entry{};
  for (bool more = platform.modules.FirstModule(snapshot.get(), &entry); more;
       more = platform.modules.NextModule(snapshot.get(), &entry)) {
    names.emplace_back(entry.name);
    EXPECT_NE(entry.base, 0u);
    EXPECT_NE(entry.size, 0u);
  }
  return names;
}

std::string Compose(HANDLE process, const char16_t* fault_module) {
  WinPorts platform;
  CrashInfo info;
  info.process = process;
  info.thread = GetCurrentThread();
  info.code = 0xC0000005;
  std::vector<char> report(kReportCapacity);
  ComposeReport(platform.Ports(), info, nullptr, fault_module, report.data(), report.size());
  return std::string(report.data());
}

TEST(WinModulePort, ListsThisProgramFirst) {
  const std::vector<std::u16string> names = ModuleNames(GetCurrentProcessId());
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(Lower(names[0]), u"report_wine_tests.exe");
  bool has_ntdll = false;
  for (const auto& name : names) has_ntdll = has_ntdll || Lower(name) == u"ntdll.dll";
  EXPECT_TRUE(has_ntdll);

  const std::string text = Compose(GetCurrentProcess(), u"ntdll.dll");
  EXPECT_NE(text.find("\r\nfault.module=ntdll.dll\r\nfault.advice=none\r\n"
                      "runtime.module.0=report_wine_tests.exe\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("\r\nprimary.thread=" + std::to_string(GetCurrentThreadId()) + "\r\n"),
            std::string::npos);
}

TEST(WinModulePort, SnapshotOfNoProcessFails) {
  WinModulePort port;
  // Process ids are multiples of 4; no process has this one.
  EXPECT_EQ(port.OpenSnapshot(0xFFFFFFF1u), InvalidHandle());
}

// The sample client path comes from the build (a Unix path when the tests run under Wine).
std::wstring SampleClientPath() {
  const char* path = std::getenv("SAMPLE_CLIENT");
  if (path == nullptr || *path == '\0') return {};
  std::wstring result = path[0] == '/' ? L"Z:" : L"";
  for (const char* p = path; *p != '\0'; ++p) result += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
  return result;
}

TEST(WinModulePort, RunningSampleClientListsClientExeFirst) {
  const std::wstring client = SampleClientPath();
  if (client.empty()) GTEST_SKIP() << "no sample client in this build";

  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE out_read = nullptr, out_write = nullptr, in_read = nullptr, in_write = nullptr;
  ASSERT_TRUE(CreatePipe(&out_read, &out_write, &inherit, 0));
  ASSERT_TRUE(CreatePipe(&in_read, &in_write, &inherit, 0));
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in_read;
  startup.hStdOutput = out_write;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  std::wstring command = L"\"" + client + L"\" --wait";
  PROCESS_INFORMATION child{};
  const BOOL started = CreateProcessW(client.c_str(),    // lpApplicationName
                                      command.data(),    // lpCommandLine
                                      nullptr,           // lpProcessAttributes
                                      nullptr,           // lpThreadAttributes
                                      TRUE,              // bInheritHandles
                                      0,                 // dwCreationFlags
                                      nullptr,           // lpEnvironment
                                      nullptr,           // lpCurrentDirectory
                                      &startup,          // lpStartupInfo
                                      &child);           // lpProcessInformation
  CloseHandle(out_write);
  CloseHandle(in_read);
  ASSERT_TRUE(started) << "CreateProcessW failed with " << GetLastError();

  // The client is ready once it has published its block's address.
  std::string output;
  char chunk[256];
  DWORD read = 0;
  while (output.find('\n') == std::string::npos &&
         ReadFile(out_read, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
    output.append(chunk, read);
  }
  EXPECT_EQ(output.rfind("crash-context-block=0x", 0), 0u) << output;

  const std::vector<std::u16string> names = ModuleNames(child.dwProcessId);
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(Lower(names[0]), u"client.exe");
  const std::string text = Compose(child.hProcess, u"");
  EXPECT_NE(text.find("\r\nfault.module=unknown\r\nfault.advice=none\r\nruntime.module.0="),
            std::string::npos);
  EXPECT_NE(Lower(std::u16string(text.begin(), text.end())).find(u"runtime.module.0=client.exe\r\n"),
            std::u16string::npos);

  // End of input lets the client leave.
  CloseHandle(in_write);
  if (WaitForSingleObject(child.hProcess, 10000) != WAIT_OBJECT_0) {
    TerminateProcess(child.hProcess, 1);
    ADD_FAILURE() << "the sample client did not leave at the end of its input";
  }
  CloseHandle(out_read);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
}

}  // namespace
}  // namespace capture
