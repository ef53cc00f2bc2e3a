// The crash notifier's logic: it reads the fault module from the command line, picks the
// player's advice for it, composes the crash message and shows it in one message box.
// Portable (no Windows header); the box is reached through MessageBoxPort.
#pragma once

#include <cstddef>
#include <cstdint>

namespace notifier {

inline constexpr std::size_t kModuleNameCapacity = 260;
inline constexpr std::size_t kMessageCapacity = 2048;

// MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST, application-modal by default.
inline constexpr std::uint32_t kBoxType = 0x50010;
inline constexpr char16_t kCaption[] = u"Game Crash";

inline constexpr char16_t kBaseMessage[] =
    u"An unexpected problem occurred - game will be closed.\n\n"
    u"To improve your game experience please contact us in Support/Discord/Forum with details:\n"
    u"- when/how it happened\n"
    u"- screenshot of game window\n"
    u"- latest .dmp file from Crash directory\n"
    u"- your addons list/screenshot";

inline constexpr char16_t kDetailFormat[] = u"%s\n\nDetected external module: %s\n%s";

// The one platform call of the notifier: MessageBoxW with no owner. Only its return
// after the player dismissed the box matters; its result is of no use to us.
class MessageBoxPort {
 public:
  virtual void Show(const char16_t* text, const char16_t* caption, std::uint32_t type) = 0;

 protected:
  ~MessageBoxPort() = default;
};

// Copies the value of the first `--module="` option of `command_tail` (the command line
// after the program name, as the GUI start-up hands it to wWinMain) into `out`, cut
// to capacity - 1 units; the output is empty when there is no such option. Does nothing
// without an output buffer or with capacity 0.
void ParseModuleOption(const char16_t* command_tail, char16_t* out, std::size_t capacity);

// The player's advice for a fault module; the empty text when the name is null, empty
// or holds no known pattern. Never null; the texts are static.
const char16_t* DialogAdvice(const char16_t* module_name);

// The crash message: the base message, followed by the module and its advice when both
// are known. Does nothing without an output buffer or with capacity 0.
void ComposeCrashMessage(const char16_t* module_name, const char16_t* advice, char16_t* out,
                         std::size_t capacity);

// One run of the notifier over the command-line tail: parse, classify, compose, show the
// box once. Always 0, the process's exit code.
int RunNotifier(const char16_t* command_tail, MessageBoxPort& box);

}  // namespace notifier
