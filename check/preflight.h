// What crash-check asks the machine before it crashes anything, and the rules that turn
// the answers into PASS, WARN or FAIL lines with the reason and the fix. The answers come
// from the Windows side (registry, error modes, signatures, version); the rules are here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check/check.h"

namespace crashcheck {

// SEM_NOGPFAULTERRORBOX: a process or thread with it may never hand a crash to WER.
inline constexpr std::uint32_t kNoGpFaultErrorBox = 0x0002;
// Windows 11 22H2, the first build with Smart App Control.
inline constexpr std::uint32_t kSmartAppControlBuild = 22621;

struct RegistryDword {
  std::string where;  // key and value, as reg.exe names them
  std::optional<std::uint32_t> value;  // null: the value is absent
};

struct Signature {
  enum class State { kSigned, kUnsigned, kInvalid };
  std::string file;
  State state = State::kUnsigned;
  std::uint32_t code = 0;  // WinVerifyTrust's answer
};

struct WindowsVersion {
  std::uint32_t major = 0, minor = 0, build = 0, ubr = 0;
  std::string product, display_version;  // "Windows 10 Pro", "22H2"; empty when unknown
  std::string wine;  // Wine's version when the check runs under Wine
};

struct Probes {
  WindowsVersion windows;
  std::vector<RegistryDword> wer_disabled;  // "Disabled" of WER's keys and of its policy keys
  std::vector<std::string> excluded_in;  // keys whose ExcludedApplications name Client.exe
  std::optional<std::uint32_t> wer_service_start;  // WerSvc's Start; null: no such service
  std::uint32_t process_error_mode = 0;
  std::uint32_t thread_error_mode = 0;
  std::vector<std::string> local_dumps;  // LocalDumps keys that exist, with their settings
  std::optional<std::string> aedebug_debugger;  // AeDebug's Debugger, when set
  bool aedebug_auto = false;                    // AeDebug's Auto is "1"
  std::vector<Signature> signatures;  // Calvorin.dll, Brisvane.exe; none when they are missing
  std::optional<std::uint32_t> smart_app_control;  // VerifiedAndReputablePolicyState
};

// "10.0.19045.3693 Windows 10 Pro 22H2", with Wine's version when under Wine.
std::string WindowsDescription(const WindowsVersion& windows);

std::vector<Check> Preflight(const Probes& probes);

}  // namespace crashcheck
