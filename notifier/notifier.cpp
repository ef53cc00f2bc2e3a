#include "notifier/notifier.h"

#include <array>
#include <iterator>

#include "common/advice_patterns.h"
#include "common/ascii_match.h"
#include "common/bounded_string.h"

namespace notifier {
namespace {

constexpr char16_t kOptionMarker[] = u"--module=\"";

}  // namespace

void ParseModuleOption(const char16_t* command_tail, char16_t* out, std::size_t capacity) {
  if (out == nullptr || capacity == 0) return;
  out[0] = u'\0';
  if (command_tail == nullptr) return;
  // The marker is exact, unlike the module-name patterns: the module writes it this way.
  const char16_t* marker = common::FindExact(command_tail, kOptionMarker);
  if (marker == nullptr) return;
  // No escapes: the value is everything up to the next double quote or the end, and a
  // value too long for the buffer is cut rather than refused.
  const char16_t* value = marker + (std::size(kOptionMarker) - 1);
  std::size_t length = 0;
  while (length < capacity - 1 && value[length] != u'\0' && value[length] != u'"') {
    out[length] = value[length];
    ++length;
  }
  out[length] = u'\0';
}

const char16_t* DialogAdvice(const char16_t* module_name) {
  switch (common::ClassifyModuleName(module_name)) {
    case common::AdviceGroup::kNvidiaDriver:
      return u"Update or clean-install the NVIDIA driver and disable GPU overlays.";
    case common::AdviceGroup::kXSplit:
      return u"Disable XSplit Game Source/overlay before restarting the client.";
    case common::AdviceGroup::kOverlayHook:
      return u"Disable the named overlay and retry.";
    case common::AdviceGroup::kInjectedModule:
      return u"Restart the PC, repair the client, and disable conflicting overlays or security "
             u"injectors.";
    case common::AdviceGroup::kDirect3D:
      return u"Update GPU drivers, disable overlays, and reset graphics settings.";
    case common::AdviceGroup::kNone:
      break;
  }
  return u"";
}

void ComposeCrashMessage(const char16_t* module_name, const char16_t* advice, char16_t* out,
                         std::size_t capacity) {
  if (out == nullptr || capacity == 0) return;
  // The longest message (a 259-unit name and the longest advice) is 642 units, so at the
  // notifier's capacity neither call can fail; a smaller buffer keeps the cut text.
  if (module_name != nullptr && *module_name != u'\0' && advice != nullptr && *advice != u'\0') {
    common::BoundedFormat(out, capacity, kDetailFormat, {kBaseMessage, module_name, advice});
  } else {
    common::BoundedCopy(out, capacity, kBaseMessage);
  }
}

int RunNotifier(const char16_t* command_tail, MessageBoxPort& box) {
  std::array<char16_t, kModuleNameCapacity> module_name{};
  std::array<char16_t, kMessageCapacity> message{};
  ParseModuleOption(command_tail, module_name.data(), module_name.size());
  const char16_t* advice = DialogAdvice(module_name.data());
  ComposeCrashMessage(module_name.data(), advice, message.data(), message.size());
  box.Show(message.data(), kCaption, kBoxType);
  return 0;
}

}  // namespace notifier
