#include "notifier/notifier.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace notifier {
namespace {

constexpr char16_t kNvidiaAdvice[] =
    u"Update or clean-install the NVIDIA driver and disable GPU overlays.";
constexpr char16_t kXSplitAdvice[] = u"Disable XSplit Game Source/overlay before restarting the client.";
constexpr char16_t kOverlayAdvice[] = u"Disable the named overlay and retry.";
constexpr char16_t kInjectedAdvice[] =
    u"Restart the PC, repair the client, and disable conflicting overlays or security injectors.";
constexpr char16_t kDirect3DAdvice[] =
    u"Update GPU drivers, disable overlays, and reset graphics settings.";

std::u16string Parse(const char16_t* command_line) {
  std::array<char16_t, kModuleNameCapacity> out;
  out.fill(u'#');  // the parser must terminate what it leaves, whatever was there before
  ParseModuleOption(command_line, out.data(), out.size());
  return out.data();
}

class RecordingBox final : public MessageBoxPort {
 public:
  struct Call {
    std::u16string text;
    std::u16string caption;
    std::uint32_t type;
  };
  std::vector<Call> calls;

  void Show(const char16_t* text, const char16_t* caption, std::uint32_t type) override {
    calls.push_back({text, caption, type});
  }
};

// What the player sees for a given command-line tail.
std::u16string BoxTextFor(const char16_t* tail) {
  RecordingBox box;
  EXPECT_EQ(RunNotifier(tail, box), 0);
  EXPECT_EQ(box.calls.size(), 1u);
  return box.calls.empty() ? std::u16string() : box.calls[0].text;
}

std::u16string Detailed(const std::u16string& module, const std::u16string& advice) {
  return std::u16string(kBaseMessage) + u"\n\nDetected external module: " + module + u"\n" + advice;
}

TEST(CrashMessage, BaseMessageIsTheFixedText) {
  // Line feeds alone, no carriage return, and none at the end.
  const std::u16string expected =
      u"An unexpected problem occurred - game will be closed.\n\nTo improve your game experience "
      u"please contact us in Support/Discord/Forum with details:\n- when/how it happened\n- "
      u"screenshot of game window\n- latest .dmp file from Crash directory\n- your addons "
      u"list/screenshot";
  EXPECT_EQ(std::u16string(kBaseMessage), expected);
}

TEST(CrashMessage, KnownModuleIsNamedWithItsAdvice) {
  EXPECT_EQ(BoxTextFor(u"--module=\"nvwgf2umx.dll\""), Detailed(u"nvwgf2umx.dll", kNvidiaAdvice));
  EXPECT_EQ(BoxTextFor(u"--module=\"GameOverlayRenderer64.dll\""),
            Detailed(u"GameOverlayRenderer64.dll", kOverlayAdvice));
  EXPECT_EQ(BoxTextFor(u"--module=\"GameDetour.dll\""), Detailed(u"GameDetour.dll", kInjectedAdvice));
  EXPECT_EQ(BoxTextFor(u"--module=\"d3d9.dll\""), Detailed(u"d3d9.dll", kDirect3DAdvice));
  // A name holding two patterns takes the advice of the earlier row of the table.
  EXPECT_EQ(BoxTextFor(u"--module=\"d3d9_xsplit.dll\""), Detailed(u"d3d9_xsplit.dll", kXSplitAdvice));
}

TEST(CrashMessage, BaseMessageAloneWithoutAKnownModule) {
  const std::u16string base = kBaseMessage;
  EXPECT_EQ(BoxTextFor(nullptr), base);
  EXPECT_EQ(BoxTextFor(u""), base);
  EXPECT_EQ(BoxTextFor(u"--safe-mode"), base);
  EXPECT_EQ(BoxTextFor(u"--module=\"\""), base);
  EXPECT_EQ(BoxTextFor(u"--module=\"Client.exe\""), base);
  // The marker is exact while the patterns ignore ASCII case.
  EXPECT_EQ(BoxTextFor(u"--MODULE=\"d3d9.dll\""), base);
  EXPECT_EQ(BoxTextFor(u"--module=d3d9.dll"), base);
  // Only A to Z fold: a capital I with dot above does not stand for "i".
  EXPECT_EQ(BoxTextFor(u"--module=\"x\u0130\u0130split.dll\""), base);
  EXPECT_EQ(BoxTextFor(u"--module=\"xspl\u0130t.dll\""), base);
  EXPECT_EQ(BoxTextFor(u"--module=\"XSPLIT.dll\""), Detailed(u"XSPLIT.dll", kXSplitAdvice));
}

TEST(CrashMessage, LongestMessageFitsWhole) {
  const std::u16string longest_name(259, u'n');
  const std::u16string name = u"GameDetour" + longest_name.substr(10);
  std::array<char16_t, kMessageCapacity> out{};
  ComposeCrashMessage(name.c_str(), kInjectedAdvice, out.data(), out.size());
  EXPECT_EQ(std::u16string(out.data()).size(), 642u);
  EXPECT_EQ(std::u16string(out.data()), Detailed(name, kInjectedAdvice));
}

TEST(CrashMessage, SmallBufferKeepsTheCutText) {
  std::array<char16_t, 11> out;
  out.fill(u'#');
  ComposeCrashMessage(u"d3d9.dll", kDirect3DAdvice, out.data(), out.size());
  EXPECT_EQ(std::u16string(out.data()), u"An unexpec");
  out.fill(u'#');
  ComposeCrashMessage(nullptr, nullptr, out.data(), out.size());
  EXPECT_EQ(std::u16string(out.data()), u"An unexpec");
  ComposeCrashMessage(u"d3d9.dll", kDirect3DAdvice, nullptr, 11);
  out.fill(u'#');
  ComposeCrashMessage(u"d3d9.dll", kDirect3DAdvice, out.data(), 0);
  EXPECT_EQ(out[0], u'#');
}

TEST(DialogAdvice, NeverNull) {
  ASSERT_NE(DialogAdvice(nullptr), nullptr);
  EXPECT_EQ(*DialogAdvice(nullptr), u'\0');
  EXPECT_EQ(*DialogAdvice(u""), u'\0');
  EXPECT_EQ(*DialogAdvice(u"d3d11.dll"), u'\0');
  EXPECT_EQ(std::u16string(DialogAdvice(u"NVGPUCOMP64.dll")), kNvidiaAdvice);
}

TEST(ModuleOption, ValueUpToTheNextQuoteOrTheEnd) {
  EXPECT_EQ(Parse(u"--module=\"nvwgf2umx.dll\""), u"nvwgf2umx.dll");
  EXPECT_EQ(Parse(u"--module=\"nvd3dumx.dll"), u"nvd3dumx.dll");
  EXPECT_EQ(Parse(u"--module=\""), u"");
  EXPECT_EQ(Parse(u"--module=\"\""), u"");
  EXPECT_EQ(Parse(u"-x --module=\"C:\\a\\b c.dll\" --y"), u"C:\\a\\b c.dll");
  EXPECT_EQ(Parse(u"--module=\"a\\\"b\""), u"a\\");  // no escapes
  EXPECT_EQ(BoxTextFor(u"--module=\"nvd3dumx.dll"), Detailed(u"nvd3dumx.dll", kNvidiaAdvice));
}

TEST(ModuleOption, OnlyTheFirstExactMarkerCounts) {
  EXPECT_EQ(Parse(u"x --module=\"a b.dll\" --module=\"d3d9.dll\""), u"a b.dll");
  EXPECT_EQ(BoxTextFor(u"x --module=\"a b.dll\" --module=\"d3d9.dll\""), kBaseMessage);
  EXPECT_EQ(Parse(u"--MODULE=\"d3d9.dll\" --Module=\"x.dll\""), u"");
  EXPECT_EQ(Parse(u"--module=d3d9.dll --module = \"x.dll\""), u"");
  EXPECT_EQ(Parse(u"--module=d3d9.dll --module=\"x.dll\""), u"x.dll");
  EXPECT_EQ(Parse(u"---module=\"x.dll\""), u"x.dll");
  EXPECT_EQ(Parse(u"--module"), u"");
  EXPECT_EQ(Parse(u"--module="), u"");
}

TEST(ModuleOption, LongValueIsCutAtCapacity) {
  // 300 units whose only pattern starts at unit 280: the cut name no longer holds it.
  std::u16string value(280, u'a');
  value += u"d3d9";
  value.resize(300, u'b');
  const std::u16string tail = u"--module=\"" + value + u"\"";
  EXPECT_EQ(Parse(tail.c_str()), value.substr(0, 259));
  EXPECT_EQ(BoxTextFor(tail.c_str()), kBaseMessage);

  // A kept pattern still counts, and the cut name is what the box shows.
  const std::u16string known = u"nvd3dumx" + std::u16string(300, u'x');
  const std::u16string known_tail = u"--module=\"" + known;
  EXPECT_EQ(BoxTextFor(known_tail.c_str()), Detailed(known.substr(0, 259), kNvidiaAdvice));

  std::array<char16_t, 4> small;
  ParseModuleOption(u"--module=\"abcdef\"", small.data(), small.size());
  EXPECT_EQ(std::u16string(small.data()), u"abc");
  small.fill(u'#');
  ParseModuleOption(u"--module=\"abcdef\"", small.data(), 1);
  EXPECT_EQ(small[0], u'\0');
  small.fill(u'#');
  ParseModuleOption(u"--module=\"abcdef\"", small.data(), 0);
  EXPECT_EQ(small[0], u'#');
  ParseModuleOption(u"--module=\"abcdef\"", nullptr, 260);
}

// Each text sits at the very end of a heap block of its own size, so that a read past
// the terminator is caught by AddressSanitizer.
std::unique_ptr<char16_t[]> ExactBlock(const std::u16string& text) {
  std::unique_ptr<char16_t[]> block(new char16_t[text.size() + 1]);
  std::copy(text.begin(), text.end(), block.get());
  block[text.size()] = u'\0';
  return block;
}

TEST(ModuleOption, MalformedCommandLinesAreReadNoFurtherThanTheirEnd) {
  const std::u16string long_noise(100000, u'-');
  const std::u16string cases[] = {
      long_noise,
      long_noise + u"--module=",
      long_noise + u"--module=\"",
      long_noise + u"--module=\"" + std::u16string(50000, u'"'),
      long_noise + u"--module=\"" + std::u16string(50000, u'x'),
      u"--module",
      u"-",
      u"\"",
  };
  for (const std::u16string& text : cases) {
    auto block = ExactBlock(text);
    std::array<char16_t, kModuleNameCapacity> out{};
    ParseModuleOption(block.get(), out.data(), out.size());
    RecordingBox box;
    EXPECT_EQ(RunNotifier(block.get(), box), 0);
  }
}

// The low byte of the box type, its icon and buttons, is read off the real box under Wine
// (notifier_box_test.sh: the error icon, a single OK button). Staying above the game's
// window is not visible there (Wine 8 leaves the box without WS_EX_TOPMOST), so the rest
// of the type is checked here: foreground, topmost, application-modal, nothing else.
TEST(Run, ShowsOneBoxWithTheCaptionAboveOtherWindows) {
  constexpr std::uint32_t kSetForeground = 0x10000;  // MB_SETFOREGROUND
  constexpr std::uint32_t kTopmost = 0x40000;        // MB_TOPMOST
  RecordingBox box;
  EXPECT_EQ(RunNotifier(u"--module=\"nvwgf2umx.dll\"", box), 0);
  ASSERT_EQ(box.calls.size(), 1u);
  EXPECT_EQ(box.calls[0].caption, u"Game Crash");
  EXPECT_EQ(box.calls[0].type & ~0xFFu, kSetForeground | kTopmost);
}

}  // namespace
}  // namespace notifier
