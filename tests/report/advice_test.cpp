#include "capture/advice.h"

#include <gtest/gtest.h>

#include <string>

namespace capture {
namespace {

const std::u16string kNvidia =
    u"NVIDIA driver fault: update or clean-install the GPU driver and disable GPU overlays.";
const std::u16string kXSplit =
    u"XSplit hook fault: disable XSplit Game Source/overlay before restarting the client.";
const std::u16string kOverlay = u"Overlay hook fault: disable the named overlay and retry.";
const std::u16string kInjected =
    u"Injected/security module fault: restart the PC, repair the client, and exclude "
    u"conflicting overlays or security injectors.";
const std::u16string kDirect3D =
    u"Direct3D runtime fault: update GPU drivers, disable overlays, and reset graphics "
    u"settings.";

TEST(FaultAdvice, GivesTheFiveTextsExactly) {
  EXPECT_EQ(FaultAdvice(u"nvwgf2umx.dll"), kNvidia);
  EXPECT_EQ(FaultAdvice(u"XSplit.Core.dll"), kXSplit);
  EXPECT_EQ(FaultAdvice(u"GameOverlayRenderer64.dll"), kOverlay);
  EXPECT_EQ(FaultAdvice(u"npggNT64.des"), kInjected);
  EXPECT_EQ(FaultAdvice(u"d3d9.dll"), kDirect3D);
}

TEST(FaultAdvice, RowsOfOneGroupShareOneText) {
  EXPECT_EQ(FaultAdvice(u"nvd3dumx.dll"), FaultAdvice(u"NvGpuComp64.dll"));
  EXPECT_EQ(FaultAdvice(u"RTSSHooks64.dll"), FaultAdvice(u"graphics-hook64.dll"));
  EXPECT_EQ(FaultAdvice(u"GameDetour.dll"), FaultAdvice(u"n64hooks.dll"));
}

TEST(FaultAdvice, TableOrderAndWholePatterns) {
  EXPECT_EQ(FaultAdvice(u"d3d9_xsplit.dll"), kXSplit);  // xsplit is tested before d3d9
  EXPECT_EQ(FaultAdvice(u"my_xsplit"), kXSplit);        // pattern at the very end
  EXPECT_EQ(FaultAdvice(u"game_xspl"), std::u16string());
  EXPECT_EQ(FaultAdvice(u"d3d"), std::u16string());  // shorter than every pattern
  EXPECT_EQ(FaultAdvice(u"d3d11.dll"), std::u16string());
}

TEST(FaultAdvice, NoNameGivesTheEmptyText) {
  ASSERT_NE(FaultAdvice(nullptr), nullptr);
  EXPECT_EQ(FaultAdvice(nullptr), std::u16string());
  EXPECT_EQ(FaultAdvice(u""), std::u16string());
}

}  // namespace
}  // namespace capture
