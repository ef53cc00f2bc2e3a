// The module-name patterns shared by the report's advice and the player's dialog:
// both sides test the same twelve patterns in the same order and differ only in the
// texts they attach to each group.
#pragma once

namespace common {

enum class AdviceGroup {
  kNone,
  kNvidiaDriver,
  kXSplit,
  kOverlayHook,
  kInjectedModule,
  kDirect3D,
};

// The group of the first pattern, in table order, that occurs in `module_name`
// (ASCII case ignored); table order wins over position in the name. kNone for a
// null or empty name and for a name that holds no pattern.
AdviceGroup ClassifyModuleName(const char16_t* module_name);

}  // namespace common
