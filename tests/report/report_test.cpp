#include "capture/report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fakes/fake_platform.h"

namespace capture {
namespace {

const char kHead[] =
    "crash.schema=2\r\n"
    "primary.captured=true\r\n"
    "primary.source=wer-out-of-process\r\n"
    "primary.synthetic=false\r\n";

class ComposeReportTest : public testing::Test {
 protected:
  ComposeReportTest() {
    info_.process = reinterpret_cast<Handle>(0x100);
    info_.thread = reinterpret_cast<Handle>(0x200);
    info_.code = 0xC0000005;
    info_.address = 0x7FFB2C4A1F3E;
    for (const char16_t* name :
         {u"Client.exe", u"ntdll.dll", u"KERNEL32.DLL", u"KERNELBASE.dll", u"nvwgf2umx.dll"}) {
      fake_.modules.push_back({0, 0, name});
    }
  }

  // Composes into a report buffer of `capacity` bytes and gives the text up to its NUL,
  // checking that the NUL lies inside the buffer.
  std::string Compose(const char16_t* fault_module, std::size_t capacity = kReportCapacity) {
    report_.assign(capacity, '\0');
    ComposeReport(fake_.Ports(), info_, block_.get(), fault_module, report_.data(), capacity);
    const void* nul = std::memchr(report_.data(), '\0', capacity);
    EXPECT_NE(nul, nullptr);
    if (nul == nullptr) return {};
    return std::string(static_cast<const char*>(report_.data()), static_cast<const char*>(nul));
  }

  CrashContextBlock& Block() {
    if (!block_) block_ = std::make_unique<CrashContextBlock>();
    return *block_;
  }
  static void Fill(CrashContextUnit* field, const std::u16string& text) {
    std::memcpy(field, text.c_str(), (text.size() + 1) * sizeof(char16_t));
  }

  fakes::FakePlatform fake_;
  CrashInfo info_;
  std::unique_ptr<CrashContextBlock> block_;
  std::vector<char> report_;
};

std::string Line(const std::string& text, const std::string& key) {
  const std::size_t at = text.find("\r\n" + key + "=");
  if (at == std::string::npos) return "<missing>";
  return text.substr(at + 2, text.find("\r\n", at + 2) - at - 2);
}

TEST_F(ComposeReportTest, WorkedExample) {
  const std::string expected = std::string(kHead) +
      "primary.code=0xC0000005\r\n"
      "primary.address=0x00007FFB2C4A1F3E\r\n"
      "primary.thread=11872\r\n"
      "secondary.count=0\r\n"
      "fault.module=nvwgf2umx.dll\r\n"
      "fault.advice=NVIDIA driver fault: update or clean-install the GPU driver and disable "
      "GPU overlays.\r\n"
      "runtime.module.0=Client.exe\r\n"
      "runtime.module.1=ntdll.dll\r\n"
      "runtime.module.2=KERNEL32.DLL\r\n"
      "runtime.module.3=KERNELBASE.dll\r\n"
      "runtime.module.4=nvwgf2umx.dll\r\n";
  EXPECT_EQ(Compose(u"nvwgf2umx.dll"), expected);
  EXPECT_EQ(report_[expected.size()], '\0');
  EXPECT_EQ(fake_.OpenHandles(), 0);
  EXPECT_EQ(fake_.faults.Calls("CreateToolhelp32Snapshot"), 1);

  // The client's first text, line end and all, stands between advice and module list.
  Fill(Block().reportText1, u"abc\r\n");
  const std::string with_text = Compose(u"nvwgf2umx.dll");
  EXPECT_EQ(with_text, expected.substr(0, expected.find("runtime.")) + "abc\r\n" +
                           expected.substr(expected.find("runtime.")));
}

TEST_F(ComposeReportTest, ClientTextsGetNoLineEndOfTheirOwn) {
  Fill(Block().reportText1, u"abc");
  EXPECT_NE(Compose(u"x.dll").find("\r\nabcruntime.module.0=Client.exe\r\n"), std::string::npos);
  Fill(Block().reportText2, u"def\r\n");
  EXPECT_NE(Compose(u"x.dll").find("\r\nabcdef\r\nruntime.module.0="), std::string::npos);
}

TEST_F(ComposeReportTest, WithoutBlockTheAdviceIsFollowedByTheModules) {
  EXPECT_NE(Compose(u"x.dll").find("fault.advice=none\r\nruntime.module.0=Client.exe\r\n"),
            std::string::npos);
}

TEST_F(ComposeReportTest, CodesAddressesAndThreads) {
  info_.code = 0x80000003;
  info_.address = 0;
  std::string text = Compose(u"x.dll");
  EXPECT_EQ(Line(text, "primary.code"), "primary.code=0x80000003");
  EXPECT_EQ(Line(text, "primary.address"), "primary.address=0x0000000000000000");
  info_.code = 5;
  info_.address = 0xFFFFF80012345678;
  info_.thread = nullptr;  // the platform gives 0 for a thread it cannot name
  text = Compose(u"x.dll");
  EXPECT_EQ(Line(text, "primary.code"), "primary.code=0x00000005");
  EXPECT_EQ(Line(text, "primary.address"), "primary.address=0xFFFFF80012345678");
  EXPECT_EQ(Line(text, "primary.thread"), "primary.thread=0");
}

TEST_F(ComposeReportTest, FaultModuleAndAdvice) {
  for (const char16_t* none : {static_cast<const char16_t*>(nullptr), u""}) {
    const std::string text = Compose(none);
    EXPECT_EQ(Line(text, "fault.module"), "fault.module=unknown");
    EXPECT_EQ(Line(text, "fault.advice"), "fault.advice=none");
  }
  std::string text = Compose(u"game.dll");
  EXPECT_EQ(Line(text, "fault.module"), "fault.module=game.dll");
  EXPECT_EQ(Line(text, "fault.advice"), "fault.advice=none");
  text = Compose(u"d3d9_xsplit.dll");
  EXPECT_EQ(Line(text, "fault.advice"),
            "fault.advice=XSplit hook fault: disable XSplit Game Source/overlay before "
            "restarting the client.");
  // 259 units of two bytes each: the value keeps the whole characters that fit.
  text = Compose(std::u16string(259, u'\u00FC').c_str());
  std::string expected = "fault.module=";
  for (int i = 0; i < 129; ++i) expected += "\xC3\xBC";
  EXPECT_EQ(Line(text, "fault.module"), expected);
}

TEST_F(ComposeReportTest, ModuleNames) {
  fake_.modules[1].name = u"M\u00FCller.dll";
  fake_.modules[3].name = u"";
  fake_.modules[4].name = std::u16string(255, u'\u20AC');
  const std::string text = Compose(u"x.dll");
  EXPECT_EQ(Line(text, "runtime.module.1"), "runtime.module.1=M\xC3\xBCller.dll");
  EXPECT_EQ(Line(text, "runtime.module.3"), "runtime.module.3=");
  std::string euros;
  for (int i = 0; i < 86; ++i) euros += "\xE2\x82\xAC";  // 258 of the 259 bytes
  EXPECT_EQ(Line(text, "runtime.module.4"), "runtime.module.4=" + euros);
}

TEST_F(ComposeReportTest, AtMost128ModuleLines) {
  fake_.modules.clear();
  for (int i = 0; i < 200; ++i) fake_.modules.push_back({0, 0, u"m.dll"});
  const std::string text = Compose(u"x.dll");
  std::size_t lines = 0;
  for (std::size_t at = text.find("runtime.module."); at != std::string::npos;
       at = text.find("runtime.module.", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 128u);
  EXPECT_TRUE(text.ends_with("\r\nruntime.module.127=m.dll\r\n"));
  EXPECT_EQ(fake_.OpenHandles(), 0);
}

TEST_F(ComposeReportTest, NoModuleListWithoutProcessOrSnapshot) {
  const std::string expected_end = "fault.advice=none\r\n";
  info_.process = nullptr;
  EXPECT_TRUE(Compose(u"x.dll").ends_with(expected_end));
  EXPECT_EQ(fake_.faults.Calls("CreateToolhelp32Snapshot"), 0);

  // A process whose id the platform cannot give: a snapshot of id 0 would list the
  // modules of the capturing process instead.
  info_.process = reinterpret_cast<Handle>(0x100);
  fake_.process_id = 0;
  EXPECT_TRUE(Compose(u"x.dll").ends_with(expected_end));
  EXPECT_EQ(fake_.faults.Calls("CreateToolhelp32Snapshot"), 0);

  fake_.process_id = 4242;
  fake_.faults.FailEveryCall("CreateToolhelp32Snapshot");
  EXPECT_TRUE(Compose(u"x.dll").ends_with(expected_end));

  fake_.faults.Heal("CreateToolhelp32Snapshot");
  fake_.faults.FailEveryCall("Module32FirstW");
  Fill(Block().reportText2, u"tail");
  EXPECT_TRUE(Compose(u"x.dll").ends_with(expected_end + "tail"));
  EXPECT_EQ(fake_.OpenHandles(), 0);

  fake_.faults.Heal("Module32FirstW");
  fake_.modules.clear();
  EXPECT_TRUE(Compose(u"x.dll").ends_with(expected_end + "tail"));
  EXPECT_EQ(fake_.OpenHandles(), 0);
}

TEST_F(ComposeReportTest, TinyBuffers) {
  std::vector<char> buffer(4, 'x');
  ComposeReport(fake_.Ports(), info_, nullptr, u"x.dll", buffer.data(), 0);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "xxxx");
  ComposeReport(fake_.Ports(), info_, nullptr, u"x.dll", nullptr, 4);  // must not crash
  ComposeReport(fake_.Ports(), info_, nullptr, u"x.dll", buffer.data(), 1);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string("\0xxx", 4));
  EXPECT_EQ(fake_.OpenHandles(), 0);
}

// The client texts at their longest, in three-byte characters, enter whole; the module
// lines then overflow the report, which is cut at 65535 bytes inside a line.
TEST_F(ComposeReportTest, FullClientTextsEnterWholeAndTheModuleListIsCut) {
  Fill(Block().reportText1, std::u16string(2047, u'\u20AC'));
  Fill(Block().reportText2, std::u16string(16383, u'\u4E2D'));
  fake_.modules.clear();
  for (int i = 0; i < 200; ++i) fake_.modules.push_back({0, 0, std::u16string(255, u'a')});

  const std::string uncut = Compose(u"nvwgf2umx.dll", 200000);
  std::string text1, text2;
  for (int i = 0; i < 2047; ++i) text1 += "\xE2\x82\xAC";
  for (int i = 0; i < 16383; ++i) text2 += "\xE4\xB8\xAD";
  EXPECT_NE(uncut.find("GPU overlays.\r\n" + text1 + text2 + "runtime.module.0="),
            std::string::npos);
  ASSERT_GT(uncut.size(), 65535u);

  const std::string cut = Compose(u"nvwgf2umx.dll");
  EXPECT_EQ(cut.size(), 65535u);
  EXPECT_EQ(cut, uncut.substr(0, 65535));
  EXPECT_FALSE(cut.ends_with("\r\n"));  // the last line is cut and nothing follows it
  EXPECT_EQ(fake_.OpenHandles(), 0);
}

TEST_F(ComposeReportTest, FullAsciiClientTextsEnterWhole) {
  Fill(Block().reportText1, std::u16string(2047, u'1'));
  Fill(Block().reportText2, std::u16string(16383, u'2'));
  const std::string text = Compose(u"x.dll");
  EXPECT_NE(text.find("none\r\n" + std::string(2047, '1') + std::string(16383, '2') +
                      "runtime.module.0=Client.exe\r\n"),
            std::string::npos);
}

}  // namespace
}  // namespace capture
