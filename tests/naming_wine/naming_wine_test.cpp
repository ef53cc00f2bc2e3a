// The naming adapters under Wine: real processes (the sample client), real version
// resources, INI files, folders and the time zone database.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "capture/context_block_read.h"
#include "capture/dump_path.h"
#include "capture/ports_win.h"
#include "capture/system_library.h"

namespace {

const std::wstring kFixtures = L"" FIXTURES_DIR;

const char16_t* U(const std::wstring& text) { return reinterpret_cast<const char16_t*>(text.c_str()); }
std::wstring W(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// A fresh folder under the temporary folder, removed with all its files at the end.
class TempFolder {
 public:
  TempFolder() {
    static int counter = 0;
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    path_ = std::wstring(base) + L"naming_wine_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(++counter);
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~TempFolder() { Remove(path_); }
  const std::wstring& path() const { return path_; }

  // Copies a sample client build into this folder under `name`; returns the full path.
  std::wstring CopyClient(const std::wstring& build, const std::wstring& name) const {
    const std::wstring target = path_ + L"\\" + name;
    EXPECT_TRUE(CopyFileW((kFixtures + L"/" + build + L"/Client.exe").c_str(), target.c_str(), FALSE));
    return target;
  }
  void WriteFile(const std::wstring& name, const std::string& content) const {
    FILE* file = _wfopen((path_ + L"\\" + name).c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
  }
  DWORD Attributes(const std::wstring& name) const {
    return GetFileAttributesW((path_ + L"\\" + name).c_str());
  }

 private:
  static void Remove(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring full = folder + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          Remove(full);
        } else {
          DeleteFileW(full.c_str());
        }
      } while (FindNextFileW(find, &entry));
      FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
  }
  std::wstring path_;
};

// A started sample client that announced its block and now waits for the end of its
// stdin; closing our end lets it exit.
class Client {
 public:
  Client(const std::wstring& exe, const std::wstring& options) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE in_read = nullptr;
    HANDLE out_write = nullptr;
    if (!CreatePipe(&in_read, &in_write_, &inherit, 0) ||
        !CreatePipe(&out_read_, &out_write, &inherit, 0)) {
      return;
    }
    SetHandleInformation(in_write_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_read_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read;
    startup.hStdOutput = out_write;
    startup.hStdError = out_write;
    std::wstring command = L"\"" + exe + L"\" --wait " + options;  // crashes, if asked, after the wait
    PROCESS_INFORMATION info = {};
    started_ = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                              nullptr, &startup, &info) != FALSE;
    CloseHandle(in_read);
    CloseHandle(out_write);
    if (!started_) return;
    process_ = info.hProcess;
    thread_ = info.hThread;
    process_id_ = info.dwProcessId;
    thread_id_ = info.dwThreadId;
    ReadAnnouncement();
  }
  ~Client() {
    Finish();
    if (process_ != nullptr) {
      CloseHandle(process_);
      CloseHandle(thread_);
    }
    if (out_read_ != nullptr) CloseHandle(out_read_);
  }

  // Ends the wait and gives the exit code (a crash gives its exception code).
  DWORD Finish() {
    if (in_write_ != nullptr) CloseHandle(in_write_);
    in_write_ = nullptr;
    DWORD code = 0xFFFFFFFF;
    if (process_ != nullptr) {
      // Keep draining the output while waiting: after a crash, Wine's debugger writes its
      // report into the same pipe and would block once the pipe is full. The bound is a
      // safety net for a hung client, not a timing expectation.
      for (int round = 0; round < 1200 && WaitForSingleObject(process_, 50) == WAIT_TIMEOUT; ++round) {
        DrainOutput();
      }
      if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) TerminateProcess(process_, 9);
      GetExitCodeProcess(process_, &code);
    }
    return code;
  }

  bool announced() const { return block_ != 0; }
  HANDLE process() const { return process_; }
  HANDLE thread() const { return thread_; }
  DWORD process_id() const { return process_id_; }
  DWORD thread_id() const { return thread_id_; }
  std::uint64_t block() const { return block_; }

 private:
  void ReadAnnouncement() {
    std::string output;
    char c = 0;
    DWORD count = 0;
    while (output.find('\n') == std::string::npos && ReadFile(out_read_, &c, 1, &count, nullptr) && count == 1) {
      output += c;
    }
    unsigned long long address = 0;
    if (std::sscanf(output.c_str(), "crash-context-block=0x%llx", &address) == 1) block_ = address;
  }

  void DrainOutput() {
    char buffer[4096];
    DWORD available = 0;
    DWORD count = 0;
    while (PeekNamedPipe(out_read_, nullptr, 0, nullptr, &available, nullptr) && available != 0 &&
           ReadFile(out_read_, buffer, sizeof(buffer), &count, nullptr) && count != 0) {
    }
  }

  bool started_ = false;
  HANDLE in_write_ = nullptr;
  HANDLE out_read_ = nullptr;
  HANDLE process_ = nullptr;
  HANDLE thread_ = nullptr;
  DWORD process_id_ = 0;
  DWORD thread_id_ = 0;
  std::uint64_t block_ = 0;
};

struct Built {
  bool ok = false;
  std::wstring dump;
  std::wstring dir;
};

Built Build(const Client& client) {
  capture::WinPorts platform;
  capture::CrashInfo info;
  info.process = client.process();
  char16_t dump[260] = {};
  char16_t dir[260] = {};
  Built built;
  built.ok = capture::BuildDumpPath(platform.Ports(), &info, client.block(), dump, 260, dir, 260);
  built.dump = W(dump);
  built.dir = W(dir);
  return built;
}

// "<dir>\Crash\Client<middle>_YYYY-MM-DD_hh-mm-ss<tail>": the time is now, so only its form
// is checked.
void ExpectDumpName(const std::wstring& dump, const std::wstring& dir, const std::wstring& middle,
                    const std::wstring& tail) {
  const std::wstring head = dir + L"\\Crash\\Client" + middle + L"_";
  ASSERT_GE(dump.size(), head.size() + 19 + tail.size()) << dump;
  EXPECT_EQ(dump.substr(0, head.size()), head);
  EXPECT_EQ(dump.substr(head.size() + 19), tail);
  const std::wstring time = dump.substr(head.size(), 19);
  for (std::size_t i = 0; i < time.size(); ++i) {
    const wchar_t expected = i == 4 || i == 7 || i == 13 || i == 16 ? L'-' : i == 10 ? L'_' : L'#';
    if (expected == L'#') {
      EXPECT_TRUE(time[i] >= L'0' && time[i] <= L'9') << dump;
    } else {
      EXPECT_EQ(time[i], expected) << dump;
    }
  }
}

bool FolderExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(WinProcessPort, GivesTheImagePathAndIdsOfARunningClient) {
  TempFolder folder;
  const std::wstring exe = folder.CopyClient(L"client", L"Client.exe");
  Client client(exe, L"");
  ASSERT_TRUE(client.announced());
  capture::WinProcessPort port;
  char16_t path[260] = {};
  ASSERT_TRUE(port.ImagePath(client.process(), path, 260));
  EXPECT_EQ(CompareStringOrdinal(W(path).c_str(), -1, exe.c_str(), -1, TRUE), CSTR_EQUAL) << W(path);
  EXPECT_FALSE(port.ImagePath(client.process(), path, 10));  // too small: the call fails
  EXPECT_EQ(port.ProcessId(client.process()), client.process_id());
  EXPECT_EQ(port.ThreadId(client.thread()), client.thread_id());
  EXPECT_EQ(port.ProcessId(nullptr), 0u);
}

TEST(WinProcessPort, ReadsTheBlockOutOfTheClient) {
  TempFolder folder;
  Client client(folder.CopyClient(L"client", L"Client.exe"),
                L"--dev=256 --tag=nightly --language=en-gb --text1=a\\r\\nb --text2=\\u00fc\\\\");
  ASSERT_TRUE(client.announced());
  capture::WinProcessPort port;
  CrashContextBlock block;
  ASSERT_TRUE(capture::ReadContextBlock(port, client.process(), client.block(), &block));
  EXPECT_EQ(block.developmentBuild, 256u);
  EXPECT_EQ(std::u16string(block.tag), u"nightly");
  EXPECT_EQ(std::u16string(block.language), u"en-gb");
  EXPECT_EQ(std::u16string(block.reportText1), u"a\r\nb");
  EXPECT_EQ(std::u16string(block.reportText2), u"\u00fc\\");
}

TEST(WinProcessPort, TerminatesFullFieldsOfTheClient) {
  TempFolder folder;
  Client client(folder.CopyClient(L"client", L"Client.exe"), L"--unterminated");
  ASSERT_TRUE(client.announced());
  capture::WinProcessPort port;
  CrashContextBlock block;
  ASSERT_TRUE(capture::ReadContextBlock(port, client.process(), client.block(), &block));
  EXPECT_EQ(std::u16string(block.tag), std::u16string(63, u'x'));
  EXPECT_EQ(std::u16string(block.language), std::u16string(31, u'x'));
  EXPECT_EQ(std::u16string(block.reportText1).size(), 2047u);
  EXPECT_EQ(std::u16string(block.reportText2).size(), 16383u);
}

TEST(WinProcessPort, BlockRunningIntoUnreservedMemoryIsNotRead) {
  TempFolder folder;
  const std::wstring exe = folder.CopyClient(L"client", L"Client.exe");
  Client client(exe, L"--unreadable-tail=1");
  ASSERT_TRUE(client.announced());
  capture::WinProcessPort port;
  CrashContextBlock block;
  std::size_t read = 12345;
  EXPECT_FALSE(port.ReadMemory(client.process(), client.block(), &block, sizeof(block), &read));
  EXPECT_LT(read, sizeof(block));
  EXPECT_FALSE(capture::ReadContextBlock(port, client.process(), client.block(), &block));

  // All but the last byte can be had: the placement is where the client said.
  EXPECT_TRUE(port.ReadMemory(client.process(), client.block(), &block, sizeof(block) - 1, &read));
  EXPECT_EQ(read, sizeof(block) - 1);
  EXPECT_EQ(block.size, CRASH_CONTEXT_BLOCK_SIZE);
}

// What the version port gives for the root block of `exe`, read through System32's
// version.dll as the capture reads it.
struct RootBlock {
  bool ok = false;
  std::uint32_t length = 0;
  std::uint32_t words[4] = {};  // signature, structure version, file version MS and LS
};

RootBlock ReadRootBlock(const std::wstring& exe) {
  capture::WinPorts platform;
  const capture::SystemLibrary version_dll(platform.Ports(), u"version.dll");
  RootBlock block;
  unsigned char info[capture::kFixedFileInfoSize] = {};
  if (!version_dll.valid()) return block;
  block.ok = platform.version.RootBlock(version_dll.get(), U(exe), info, &block.length);
  std::memcpy(block.words, info, sizeof(block.words));
  return block;
}

TEST(WinVersionPort, ReadsTheFixedFileInformationOfEachClientBuild) {
  struct Case {
    const wchar_t* build;
    std::uint32_t ms, ls;
  } cases[] = {{L"client", 0x000A0002u, 7u}, {L"client_dev", 0x000A0001u, 0u}};
  for (const auto& c : cases) {
    const RootBlock block = ReadRootBlock(kFixtures + L"/" + c.build + L"/Client.exe");
    EXPECT_TRUE(block.ok) << c.build;
    EXPECT_EQ(block.length, capture::kFixedFileInfoSize) << c.build;
    EXPECT_EQ(block.words[0], capture::kFixedFileInfoSignature) << c.build;
    EXPECT_EQ(block.words[2], c.ms) << c.build;
    EXPECT_EQ(block.words[3], c.ls) << c.build;
  }
  EXPECT_FALSE(ReadRootBlock(kFixtures + L"/client_noversion/Client.exe").ok);
  // A resource without fixed information: whatever the root block points at, it is too
  // short to be one.
  const RootBlock bare = ReadRootBlock(kFixtures + L"/client_nofixedinfo/Client.exe");
  EXPECT_TRUE(!bare.ok || bare.length < capture::kFixedFileInfoSize) << bare.length;
}

TEST(WinSettingsPort, ReadsLanguageOrGivesTheDefault) {
  TempFolder folder;
  folder.WriteFile(L"present.ini", "[Other]\r\nLanguage=xx\r\n[Locale]\r\nLanguage=zh-TW\r\n");
  folder.WriteFile(L"empty.ini", "[Locale]\r\nLanguage=\r\n");
  folder.WriteFile(L"long.ini", "[Locale]\r\nLanguage=" + std::string(40, 'q') + "\r\n");
  capture::WinSettingsPort port;
  auto read = [&](const std::wstring& file) {
    char16_t value[32];
    std::fill(std::begin(value), std::end(value), u'#');
    port.ProfileString(u"Locale", u"Language", u"ENEU", value, 32, U(folder.path() + L"\\" + file));
    return std::u16string(value);
  };
  EXPECT_EQ(read(L"present.ini"), u"zh-TW");
  EXPECT_EQ(read(L"absent.ini"), u"ENEU");
  EXPECT_EQ(read(L"empty.ini"), u"");  // present but empty: no default
  EXPECT_EQ(read(L"long.ini"), std::u16string(31, u'q'));
}

TEST(WinFolderPort, CreatesOnceAndAcceptsWhatIsThere) {
  TempFolder folder;
  capture::WinFolderPort port;
  const std::wstring crash = folder.path() + L"\\Crash";
  EXPECT_EQ(port.CreateFolder(U(crash)), capture::FolderResult::kCreated);
  EXPECT_EQ(port.CreateFolder(U(crash)), capture::FolderResult::kAlreadyExists);
  folder.WriteFile(L"File", "x");
  EXPECT_EQ(port.CreateFolder(U(folder.path() + L"\\File")), capture::FolderResult::kAlreadyExists);
  EXPECT_EQ(port.CreateFolder(U(folder.path() + L"\\missing\\Crash")), capture::FolderResult::kFailed);
}

// Through the zone list's own entry for the key name, as the capture converts.
TEST(WinClockPort, ConvertsToCentralEuropeanTimeWithTheRulesOfTheUtcYear) {
  capture::WinPorts platform;
  capture::WinClockPort& clock = platform.clock;
  struct Case {
    capture::CalendarTime utc, cet;
  } cases[] = {
      {{2026, 12, 31, 23, 30, 0}, {2027, 1, 1, 0, 30, 0}},   // New Year already in Central Europe
      {{2026, 7, 1, 10, 0, 0}, {2026, 7, 1, 12, 0, 0}},      // summer time
      {{2026, 12, 8, 6, 41, 5}, {2026, 12, 8, 7, 41, 5}},    // winter time
      {{2026, 3, 29, 0, 59, 59}, {2026, 3, 29, 1, 59, 59}},  // last second of winter time
      {{2026, 3, 29, 1, 0, 0}, {2026, 3, 29, 3, 0, 0}},      // first second of summer time
  };
  for (const auto& c : cases) {
    capture::CalendarTime local;
    ASSERT_TRUE(capture::LocalTimeInZone(platform.Ports(), u"Central European Standard Time", c.utc,
                                         &local));
    EXPECT_EQ((std::array{local.year, local.month, local.day, local.hour, local.minute, local.second}),
              (std::array{c.cet.year, c.cet.month, c.cet.day, c.cet.hour, c.cet.minute, c.cet.second}));
  }
  capture::CalendarTime local;
  EXPECT_FALSE(capture::LocalTimeInZone(platform.Ports(), u"No Such Standard Time", cases[0].utc,
                                        &local));
  EXPECT_GE(clock.UtcNow().year, 2024);
  EXPECT_GE(clock.LocalNow().year, 2024);
}

TEST(SampleClient, CrashesWhereItIsAsked) {
  TempFolder folder;
  const std::wstring exe = folder.CopyClient(L"client", L"Client.exe");
  ASSERT_TRUE(CopyFileW(L"" CRASH_HERE_DLL, (folder.path() + L"\\nvwgf2umx.dll").c_str(), FALSE));
  struct Case {
    const wchar_t* options;
    DWORD exit_code;
  } cases[] = {
      {L"", 0},
      {L"--crash=access-violation", 0xC0000005},
      {L"--crash=no-module", 0xC0000005},
      {L"--crash=in:nvwgf2umx.dll", 0xC0000005},
      {L"--crash=in:missing.dll", 3},
  };
  for (const auto& c : cases) {
    Client client(exe, c.options);
    ASSERT_TRUE(client.announced()) << c.options;
    EXPECT_EQ(client.Finish(), c.exit_code) << c.options;
  }
  Client refused(exe, L"--no-such-option");
  EXPECT_FALSE(refused.announced());
  EXPECT_EQ(refused.Finish(), 2u);
}

// The whole builder over real ports.
TEST(BuildDumpPathOnWindows, AcceptsTheClientInAnyAsciiCaseOnly) {
  for (const std::wstring name : {L"Client.exe", L"CLIENT.EXE", L"client.exe"}) {
    TempFolder folder;
    Client client(folder.CopyClient(L"client", name), L"--language=de");
    ASSERT_TRUE(client.announced()) << name;
    const Built built = Build(client);
    ASSERT_TRUE(built.ok) << name;
    EXPECT_EQ(built.dir, folder.path());
    ExpectDumpName(built.dump, folder.path(), L"_10.2.0.7", L"_DE.dmp");
    EXPECT_TRUE(FolderExists(folder.path() + L"\\Crash"));
  }
  TempFolder folder;
  Client client(folder.CopyClient(L"client", L"Client64.exe"), L"");
  ASSERT_TRUE(client.announced());
  EXPECT_FALSE(Build(client).ok);
  EXPECT_EQ(folder.Attributes(L"Crash"), INVALID_FILE_ATTRIBUTES);
}

TEST(BuildDumpPathOnWindows, TakesMarkTagAndLanguageFromTheBlock) {
  TempFolder folder;
  folder.WriteFile(L"Vostrel.ini", "[Locale]\r\nLanguage=fr\r\n");
  Client client(folder.CopyClient(L"client", L"Client.exe"), L"--dev=1 --tag=night/ly --language=en-gb");
  ASSERT_TRUE(client.announced());
  const Built built = Build(client);
  ASSERT_TRUE(built.ok);
  ExpectDumpName(built.dump, folder.path(), L"_Dev_10.2.0.7", L"_night_ly_ENGB.dmp");
}

TEST(BuildDumpPathOnWindows, WithoutABlockUsesVersionAndSettings) {
  struct Case {
    const char* ini;  // null: no file
    const wchar_t* build;
    const wchar_t* middle;
    const wchar_t* tail;
  } cases[] = {
      {"[Locale]\r\nLanguage=tw\r\n", L"client", L"_10.2.0.7", L"_CN.dmp"},
      {"[Locale]\r\nLanguage=\r\n", L"client", L"_10.2.0.7", L"_ENEU.dmp"},
      {nullptr, L"client_dev", L"_Dev_10.1.0.0", L"_ENEU.dmp"},
  };
  for (const auto& c : cases) {
    TempFolder folder;
    if (c.ini != nullptr) folder.WriteFile(L"Vostrel.ini", c.ini);
    Client client(folder.CopyClient(c.build, L"Client.exe"), L"--version=3 --tag=unused --dev=1");
    ASSERT_TRUE(client.announced());
    const Built built = Build(client);
    ASSERT_TRUE(built.ok);
    ExpectDumpName(built.dump, folder.path(), c.middle, c.tail);
  }
}

TEST(BuildDumpPathOnWindows, AFileNamedCrashPassesTheFolderStep) {
  TempFolder folder;
  folder.WriteFile(L"Crash", "not a folder");
  Client client(folder.CopyClient(L"client", L"Client.exe"), L"");
  ASSERT_TRUE(client.announced());
  EXPECT_TRUE(Build(client).ok);
  EXPECT_FALSE(folder.Attributes(L"Crash") & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(BuildDumpPathOnWindows, ClientWithoutVersionResourceFailsAfterCreatingTheFolder) {
  TempFolder folder;
  Client client(folder.CopyClient(L"client_noversion", L"Client.exe"), L"");
  ASSERT_TRUE(client.announced());
  const Built built = Build(client);
  EXPECT_FALSE(built.ok);
  EXPECT_EQ(built.dir, folder.path());
  EXPECT_TRUE(FolderExists(folder.path() + L"\\Crash"));
}

}  // namespace
