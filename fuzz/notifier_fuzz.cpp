// The notifier over arbitrary command-line tails: the module option parser, the advice
// and the crash message, each compared with the rule written out once more. The tail lies
// in a heap block of exactly its length and terminator, so ASan sees any read beyond its
// end; outputs lie between guard units.
//
// Input: a mode byte, a capacity byte, then the command-line tail as UTF-16 units.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "notifier/notifier.h"

namespace {

constexpr std::size_t kGuardUnits = 8;
constexpr char16_t kGuard = 0xBEEF;
constexpr std::u16string_view kMarker = u"--module=\"";

const std::u16string_view kAdvice[] = {
    u"Update or clean-install the NVIDIA driver and disable GPU overlays.",
    u"Disable XSplit Game Source/overlay before restarting the client.",
    u"Disable the named overlay and retry.",
    u"Restart the PC, repair the client, and disable conflicting overlays or security injectors.",
    u"Update GPU drivers, disable overlays, and reset graphics settings.",
};

// Up to N units between guard units; units past the capacity count as guards too.
template <std::size_t N>
struct GuardedUnits {
  std::array<char16_t, kGuardUnits + N + kGuardUnits> units;
  std::size_t capacity;
  explicit GuardedUnits(std::size_t capacity) : capacity(capacity) { units.fill(kGuard); }
  char16_t* data() { return units.data() + kGuardUnits; }
  bool GuardsIntact() const {
    for (std::size_t i = 0; i < units.size(); ++i) {
      if ((i < kGuardUnits || i >= kGuardUnits + capacity) && units[i] != kGuard) return false;
    }
    return true;
  }
  // The text before the terminator; fails the run when there is none within capacity.
  std::u16string Text() const {
    for (std::size_t i = 0; i < capacity; ++i) {
      if (units[kGuardUnits + i] == u'\0') return std::u16string(units.data() + kGuardUnits, i);
    }
    fuzz::Fail();
  }
};

class RecordingBox final : public notifier::MessageBoxPort {
 public:
  int calls = 0;
  std::u16string text, caption;
  void Show(const char16_t* t, const char16_t* c, std::uint32_t) override {
    ++calls;
    text = t;
    caption = c;
  }
};

// The first exact marker; the value up to the next double quote or the end.
std::u16string ModelModule(const std::u16string& tail, std::size_t capacity) {
  const std::size_t at = tail.find(kMarker);
  if (at == std::u16string::npos) return u"";
  std::u16string value = tail.substr(at + kMarker.size());
  value = value.substr(0, value.find(u'"'));
  return value.substr(0, capacity - 1);
}

std::u16string ModelMessage(const std::u16string& module, const std::u16string& advice) {
  if (module.empty() || advice.empty()) return notifier::kBaseMessage;
  return std::u16string(notifier::kBaseMessage) + u"\n\nDetected external module: " + module + u"\n" + advice;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::uint8_t mode = in.Byte();
  const std::uint8_t capacity_byte = in.Byte();
  std::u16string text;
  while (in.Remaining() >= 2) text.push_back(static_cast<char16_t>(in.U16()));
  text = fuzz::UpToNul(text);

  // Exactly the text and its terminator, nothing behind it for a read to land on.
  const std::size_t units = text.size() + 1;
  std::unique_ptr<char16_t[]> tail(new char16_t[units]);
  std::memcpy(tail.get(), text.c_str(), units * sizeof(char16_t));

  // The parser alone, at any capacity up to the notifier's.
  const std::size_t capacity = (mode & 2) != 0 ? capacity_byte : notifier::kModuleNameCapacity;
  GuardedUnits<notifier::kModuleNameCapacity> parsed(capacity);
  notifier::ParseModuleOption(tail.get(), parsed.data(), capacity);
  fuzz::Check(parsed.GuardsIntact());
  if (capacity > 0) fuzz::Check(parsed.Text() == ModelModule(text, capacity));

  // The whole run: one box, its caption, and a message of one of the two forms.
  RecordingBox box;
  fuzz::Check(notifier::RunNotifier(tail.get(), box) == 0);
  fuzz::Check(box.calls == 1);
  fuzz::Check(box.caption == u"Game Crash");
  const std::u16string module = ModelModule(text, notifier::kModuleNameCapacity);
  fuzz::Check(module.size() <= 259);
  const std::u16string advice = notifier::DialogAdvice(module.c_str());
  bool known = advice.empty();
  for (std::u16string_view a : kAdvice) known = known || advice == a;
  fuzz::Check(known);
  const std::u16string message = ModelMessage(module, advice);
  fuzz::Check(box.text == message);
  fuzz::Check(message.size() <= 642);

  // The composition alone into a smaller buffer keeps the leading part, terminated.
  const std::size_t message_capacity = capacity_byte * 3u;
  GuardedUnits<3 * 255> composed(message_capacity);
  notifier::ComposeCrashMessage(module.c_str(), advice.c_str(), composed.data(), message_capacity);
  fuzz::Check(composed.GuardsIntact());
  if (message_capacity > 0) fuzz::Check(composed.Text() == message.substr(0, message_capacity - 1));
  return 0;
}
