// The file adapter against the real file system under Wine: the sharing, replacing and
// attribute rules the capture relies on.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "capture/ports_win.h"

namespace {

class WinFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    dir_ = std::u16string(reinterpret_cast<char16_t*>(temp)) + u"capture-files-" +
           std::u16string(reinterpret_cast<const char16_t*>(
               std::to_wstring(GetCurrentProcessId()).c_str()));
    ASSERT_TRUE(CreateDirectoryW(W(dir_), nullptr));
  }
  void TearDown() override {
    for (const char16_t* name : {u"\\a.dmp", u"\\a.dmp.tmp", u"\\b.txt"}) {
      DeleteFileW(W(dir_ + name));
    }
    RemoveDirectoryW(W(dir_ + u"\\sub"));
    RemoveDirectoryW(W(dir_));
  }
  static const wchar_t* W(const std::u16string& s) {
    return reinterpret_cast<const wchar_t*>(s.c_str());
  }
  std::u16string Path(const char16_t* name) const { return dir_ + u"\\" + name; }
  std::string Read(const std::u16string& path) {
    HANDLE file = CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    char buffer[256] = {};
    DWORD count = 0;
    ReadFile(file, buffer, sizeof(buffer), &count, nullptr);
    CloseHandle(file);
    return std::string(buffer, count);
  }

  capture::WinFilePort files;
  capture::WinHandlePort handles;
  std::u16string dir_;
};

TEST_F(WinFilesTest, WritesFlushesMeasuresAndReplacesOnMove) {
  const std::u16string temp = Path(u"a.dmp.tmp");
  const std::u16string dump = Path(u"a.dmp");
  capture::Handle old_file = files.CreateNew(dump.c_str());
  ASSERT_NE(old_file, capture::InvalidHandle());
  std::uint32_t written = 0;
  ASSERT_TRUE(files.Write(old_file, "older dump", 10, &written));
  handles.Close(old_file);

  capture::Handle file = files.CreateNew(temp.c_str());
  ASSERT_NE(file, capture::InvalidHandle());
  // A second writer of the same temporary file is kept out.
  EXPECT_EQ(files.CreateNew(temp.c_str()), capture::InvalidHandle());
  EXPECT_TRUE(files.Write(file, "MDMP", 4, &written));
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(Read(temp), "MDMP");  // readers are let in while it is written
  EXPECT_TRUE(files.Flush(file));
  std::uint64_t size = 0;
  EXPECT_TRUE(files.Size(file, &size));
  EXPECT_EQ(size, 4u);
  handles.Close(file);

  EXPECT_TRUE(files.MoveReplacing(temp.c_str(), dump.c_str()));
  EXPECT_EQ(Read(dump), "MDMP");
  EXPECT_EQ(files.Kind(temp.c_str()), capture::PathKind::kMissing);
  EXPECT_FALSE(files.MoveReplacing(temp.c_str(), dump.c_str()));
}

// A temporary file is always made new: a name that exists, closed or not, is refused
// with ERROR_FILE_EXISTS and what it holds is left as it was.
TEST_F(WinFilesTest, CreatingANameThatExistsFailsAndLeavesItAlone) {
  const std::u16string text = Path(u"b.txt");
  std::uint32_t written = 0;
  capture::Handle file = files.CreateNew(text.c_str());
  ASSERT_TRUE(files.Write(file, "older report", 12, &written));
  handles.Close(file);
  EXPECT_EQ(files.CreateNew(text.c_str()), capture::InvalidHandle());
  EXPECT_EQ(capture::WinSystemPort().LastError(), 80u);  // ERROR_FILE_EXISTS
  EXPECT_EQ(Read(text), "older report");
}

TEST_F(WinFilesTest, TellsFilesFoldersAndNothingApart) {
  const std::u16string text = Path(u"b.txt");
  handles.Close(files.CreateNew(text.c_str()));
  ASSERT_TRUE(CreateDirectoryW(W(Path(u"sub")), nullptr));
  EXPECT_EQ(files.Kind(text.c_str()), capture::PathKind::kFile);
  EXPECT_EQ(files.Kind(Path(u"sub").c_str()), capture::PathKind::kDirectory);
  EXPECT_EQ(files.Kind(Path(u"none").c_str()), capture::PathKind::kMissing);
  // A folder cannot be opened for writing, nor deleted as a file.
  EXPECT_EQ(files.CreateNew(Path(u"sub").c_str()), capture::InvalidHandle());
  EXPECT_FALSE(files.Delete(Path(u"sub").c_str()));
  EXPECT_TRUE(files.Delete(text.c_str()));
  EXPECT_FALSE(files.Delete(text.c_str()));
}

}  // namespace

namespace {

// A virus scanner opens a fresh file with read and write sharing but no delete sharing:
// renaming or deleting it, or renaming onto it, fails with the errors the commit retries.
TEST_F(WinFilesTest, AFileHeldLikeAScannerHoldsItRefusesTheCommitWithTheRetriedErrors) {
  const std::u16string temp = Path(u"a.dmp.tmp");
  const std::u16string dump = Path(u"a.dmp");
  capture::WinSystemPort system;
  for (const std::u16string* path : {&temp, &dump}) handles.Close(files.CreateNew(path->c_str()));
  auto hold = [](const std::u16string& path) {
    return CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE scanner = hold(temp);
  ASSERT_NE(scanner, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(files.MoveReplacing(temp.c_str(), dump.c_str()));
  EXPECT_EQ(system.LastError(), capture::kErrorSharingViolation);
  EXPECT_FALSE(files.Delete(temp.c_str()));
  EXPECT_EQ(system.LastError(), capture::kErrorSharingViolation);
  CloseHandle(scanner);

  scanner = hold(dump);
  EXPECT_FALSE(files.MoveReplacing(temp.c_str(), dump.c_str()));
  EXPECT_EQ(system.LastError(), capture::kErrorAccessDenied);
  CloseHandle(scanner);
  EXPECT_TRUE(files.MoveReplacing(temp.c_str(), dump.c_str()));
}

// The road tests cannot tell the two ways of loading the system DLLs apart under Wine,
// which accepts the search flag: the lookup itself is checked here.
TEST(WinLibraryPort, KnowsTheSearchFlags) {
  EXPECT_TRUE(capture::WinLibraryPort().SearchFlagsKnown()) << "Wine's kernel32 exports AddDllDirectory";
}

TEST(WinSystemPort, GivesTheBuildOfTheRunningWindows) {
  std::uint32_t build = 0;
  ASSERT_TRUE(capture::WinSystemPort().WindowsBuild(&build));
  EXPECT_EQ(build, 19045u) << "the test prefix poses as Windows 10 22H2 (scripts/wine-prefix.sh)";
}

}  // namespace
