#include "common/advice_patterns.h"

#include <gtest/gtest.h>

namespace common {
namespace {

TEST(ClassifyModuleName, EachGroupIsRecognisedInAnyAsciiCase) {
  EXPECT_EQ(ClassifyModuleName(u"nvwgf2umx.dll"), AdviceGroup::kNvidiaDriver);
  EXPECT_EQ(ClassifyModuleName(u"NVD3DUMX.DLL"), AdviceGroup::kNvidiaDriver);
  EXPECT_EQ(ClassifyModuleName(u"NvGpuComp64.dll"), AdviceGroup::kNvidiaDriver);
  EXPECT_EQ(ClassifyModuleName(u"xsplit.core.dll"), AdviceGroup::kXSplit);
  EXPECT_EQ(ClassifyModuleName(u"RTSSHooks64.dll"), AdviceGroup::kOverlayHook);
  EXPECT_EQ(ClassifyModuleName(u"GameOverlayRenderer64.dll"), AdviceGroup::kOverlayHook);
  EXPECT_EQ(ClassifyModuleName(u"DiscordHook64.dll"), AdviceGroup::kOverlayHook);
  EXPECT_EQ(ClassifyModuleName(u"graphics-hook64.dll"), AdviceGroup::kOverlayHook);
  EXPECT_EQ(ClassifyModuleName(u"GameDetour.dll"), AdviceGroup::kInjectedModule);
  EXPECT_EQ(ClassifyModuleName(u"npggNT64.des"), AdviceGroup::kInjectedModule);
  EXPECT_EQ(ClassifyModuleName(u"n64hooks.dll"), AdviceGroup::kInjectedModule);
  EXPECT_EQ(ClassifyModuleName(u"d3d9.dll"), AdviceGroup::kDirect3D);
}

TEST(ClassifyModuleName, TableOrderWinsOverPositionInTheName) {
  EXPECT_EQ(ClassifyModuleName(u"d3d9_xsplit.dll"), AdviceGroup::kXSplit);
  EXPECT_EQ(ClassifyModuleName(u"d3d9_nvwgf2umx.dll"), AdviceGroup::kNvidiaDriver);
}

TEST(ClassifyModuleName, NothingMatches) {
  EXPECT_EQ(ClassifyModuleName(nullptr), AdviceGroup::kNone);
  EXPECT_EQ(ClassifyModuleName(u""), AdviceGroup::kNone);
  EXPECT_EQ(ClassifyModuleName(u"d3d11.dll"), AdviceGroup::kNone);
  EXPECT_EQ(ClassifyModuleName(u"Client.exe"), AdviceGroup::kNone);
  EXPECT_EQ(ClassifyModuleName(u"d3d"), AdviceGroup::kNone);
  EXPECT_EQ(ClassifyModuleName(u"graphics_hook.dll"), AdviceGroup::kNone);
}

}  // namespace
}  // namespace common
