#include "common/advice_patterns.h"

#include "common/ascii_match.h"

namespace common {
namespace {

struct PatternRow {
  const char16_t* pattern;
  AdviceGroup group;
};

constexpr PatternRow kPatterns[] = {
    {u"nvd3dumx", AdviceGroup::kNvidiaDriver},
    {u"nvwgf2umx", AdviceGroup::kNvidiaDriver},
    {u"nvgpucomp64", AdviceGroup::kNvidiaDriver},
    {u"xsplit", AdviceGroup::kXSplit},
    {u"rtsshooks", AdviceGroup::kOverlayHook},
    {u"gameoverlayrenderer", AdviceGroup::kOverlayHook},
    {u"discordhook", AdviceGroup::kOverlayHook},
    {u"graphics-hook", AdviceGroup::kOverlayHook},
    {u"gamedetour", AdviceGroup::kInjectedModule},
    {u"npggnt64", AdviceGroup::kInjectedModule},
    {u"n64hooks", AdviceGroup::kInjectedModule},
    {u"d3d9", AdviceGroup::kDirect3D},
};

}  // namespace

AdviceGroup ClassifyModuleName(const char16_t* module_name) {
  if (module_name == nullptr || *module_name == u'\0') return AdviceGroup::kNone;
  for (const PatternRow& row : kPatterns) {
    if (ContainsIgnoringAsciiCase(module_name, row.pattern)) return row.group;
  }
  return AdviceGroup::kNone;
}

}  // namespace common
