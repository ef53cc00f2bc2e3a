// Entry of Brisvane.exe: hands the command-line tail to the portable run and shows its
// message through MessageBoxW. The exit code is 0 on every path, also when no box can be
// shown, since the module that starts us never looks at it and the player has nothing to
// act on.
#include <windows.h>

#include "notifier/notifier.h"

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected on Windows");

class MessageBoxAdapter final : public notifier::MessageBoxPort {
 public:
  void Show(const char16_t* text, const char16_t* caption, std::uint32_t type) override {
    // Blocks in the box's own modal loop until the player dismisses it.
    MessageBoxW(nullptr,                                   // hWnd: no owner
                reinterpret_cast<const wchar_t*>(text),     // lpText
                reinterpret_cast<const wchar_t*>(caption),  // lpCaption
                type);                                     // uType
  }
};

}  // namespace

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR command_tail,
                    int /*show*/) {
  MessageBoxAdapter box;
  return notifier::RunNotifier(reinterpret_cast<const char16_t*>(command_tail), box);
}
