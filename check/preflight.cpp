#include "check/preflight.h"

namespace crashcheck {
namespace {

Check WindowsCheck(const WindowsVersion& windows) {
  const std::string what = WindowsDescription(windows);
  if (!windows.wine.empty()) {
    return Warn("Windows build", what + ": Windows Error Reporting is played by the test stand-in, "
                                        "so every figure is Wine's, not Windows'",
                "run crash-check on each Windows version the game supports");
  }
  if (windows.major < 10) {
    return Warn("Windows build", what + ": older than Windows 10, which the capture was built for",
                "check on Windows 10 or 11");
  }
  return Pass("Windows build", what);
}

Check DisabledCheck(const std::vector<RegistryDword>& places) {
  std::vector<std::string> off;
  for (const RegistryDword& place : places) {
    if (place.value && *place.value != 0) off.push_back(place.where + " = " + std::to_string(*place.value));
  }
  if (!off.empty()) {
    return Fail("WER not disabled", "Windows Error Reporting is switched off (" + Joined(off, "; ") +
                                        "), so no crash reaches the module",
                "delete the value, or have whoever manages the machine lift the group policy "
                "\"Disable Windows Error Reporting\"");
  }
  return Pass("WER not disabled", "no Disabled value set (" + std::to_string(places.size()) +
                                      " places looked at)");
}

Check ExcludedCheck(const std::vector<std::string>& keys) {
  if (!keys.empty()) {
    return Fail("Client.exe not excluded", "Client.exe is listed under " + Joined(keys, "; ") +
                                               ", so WER ignores the game's crashes",
                "delete the value Client.exe from that key");
  }
  return Pass("Client.exe not excluded", "no ExcludedApplications list names Client.exe");
}

Check ServiceCheck(const std::optional<std::uint32_t>& start) {
  if (!start) {
    return Warn("WER service", "no WerSvc service is registered (as under Wine): nothing of "
                               "Windows' own reporting is there to start the module's host",
                "on Windows the service is part of the system: repair the installation");
  }
  if (*start == 4) {
    return Warn("WER service", "WerSvc is disabled (Start = 4): WER may not start its host for a crash",
                "set it back to manual start: sc config WerSvc start= demand (as administrator)");
  }
  return Pass("WER service", "WerSvc start type " + std::to_string(*start));
}

Check ErrorModeCheck(std::uint32_t process_mode, std::uint32_t thread_mode) {
  const std::string modes = "process " + Hex(process_mode) + ", thread " + Hex(thread_mode);
  if ((process_mode & kNoGpFaultErrorBox) != 0) {
    return Warn("error modes", modes + ": SEM_NOGPFAULTERRORBOX is set and every child inherits it, "
                                       "so a game started the same way might never reach WER "
                                       "(the sample client clears it at start)",
                "start the game from a launcher that does not set SEM_NOGPFAULTERRORBOX, or clear "
                "it at start as example/client.cpp does");
  }
  if ((thread_mode & kNoGpFaultErrorBox) != 0) {
    return Warn("error modes", modes + ": SEM_NOGPFAULTERRORBOX is set for this thread (no child inherits "
                                       "a thread's mode, but a game's thread that sets it may keep its "
                                       "crashes from WER)",
                "make sure the game's threads do not set it with SetThreadErrorMode");
  }
  return Pass("error modes", modes + ": SEM_NOGPFAULTERRORBOX not set");
}

Check LocalDumpsCheck(const std::vector<std::string>& keys) {
  if (!keys.empty()) {
    return Warn("LocalDumps", "WER is set to write dumps of its own as well: " + Joined(keys, "; "),
                "remove the LocalDumps key if it was set for a test; otherwise every crash also "
                "costs a second dump's time and disk");
  }
  return Pass("LocalDumps", "no LocalDumps settings");
}

Check DebuggerCheck(const std::optional<std::string>& debugger, bool automatic) {
  if (debugger && automatic) {
    return Warn("just-in-time debugger", "AeDebug starts " + *debugger +
                                             " by itself for every crash; it may take crashes "
                                             "before WER's module sees them",
                "remove Auto = 1 under HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug "
                "if it was set for debugging");
  }
  return Pass("just-in-time debugger", debugger ? "AeDebug names " + *debugger + ", but does not start it by itself"
                                                : "none registered");
}

Check SignatureCheck(const std::vector<Signature>& signatures) {
  std::vector<std::string> parts;
  Verdict verdict = Verdict::kPass;
  for (const Signature& s : signatures) {
    switch (s.state) {
      case Signature::State::kSigned:
        parts.push_back(s.file + " signed, the signature verifies");
        break;
      case Signature::State::kUnsigned:
        parts.push_back(s.file + " not signed");
        if (verdict == Verdict::kPass) verdict = Verdict::kWarn;
        break;
      case Signature::State::kInvalid:
        parts.push_back(s.file + " signed, but the signature does not verify (" + Hex(s.code) + ")");
        verdict = Verdict::kFail;
        break;
    }
  }
  const std::string detail = Joined(parts, "; ");
  if (verdict == Verdict::kFail) {
    return Fail("signatures", detail + ": a file changed after signing, or a certificate this machine does not trust",
                "sign the files again with the studio's certificate and change nothing afterwards");
  }
  if (verdict == Verdict::kWarn) {
    return Warn("signatures", detail + ": Smart App Control and endpoint protection may block or flag unsigned files",
                "sign both files with the studio's certificate before shipping (INSTALL.txt, step 2)");
  }
  return Pass("signatures", detail);
}

Check SmartAppControlCheck(const std::optional<std::uint32_t>& state, std::uint32_t build,
                           const std::vector<Signature>& signatures) {
  bool unsigned_file = false;
  for (const Signature& s : signatures) unsigned_file = unsigned_file || s.state != Signature::State::kSigned;
  if (!state) {
    if (build >= kSmartAppControlBuild) {
      return Warn("Smart App Control", "its state cannot be read on this Windows 11",
                  "look it up in Windows Security, App & browser control");
    }
    return Pass("Smart App Control", "not part of this Windows");
  }
  switch (*state) {
    case 0:
      return Pass("Smart App Control", "off");
    case 1:
      if (unsigned_file) {
        return Warn("Smart App Control", "on, and it blocks unsigned files without reputation: the crashes below show whether it lets the module run",
                    "sign both files (INSTALL.txt, step 2)");
      }
      return Pass("Smart App Control", "on; both files are signed");
    case 2:
      return Warn("Smart App Control", "in evaluation: Windows may switch it on later and then block unsigned files",
                  "sign both files (INSTALL.txt, step 2)");
    default:
      return Warn("Smart App Control", "unknown state " + std::to_string(*state),
                  "look it up in Windows Security, App & browser control");
  }
}

}  // namespace

std::string WindowsDescription(const WindowsVersion& windows) {
  std::string out = std::to_string(windows.major) + "." + std::to_string(windows.minor) + "." +
                    std::to_string(windows.build) + "." + std::to_string(windows.ubr);
  if (!windows.product.empty()) out += " " + windows.product;
  if (!windows.display_version.empty()) out += " " + windows.display_version;
  if (!windows.wine.empty()) out += " (Wine " + windows.wine + ")";
  return out;
}

std::vector<Check> Preflight(const Probes& probes) {
  std::vector<Check> checks = {WindowsCheck(probes.windows),
                               DisabledCheck(probes.wer_disabled),
                               ExcludedCheck(probes.excluded_in),
                               ServiceCheck(probes.wer_service_start),
                               ErrorModeCheck(probes.process_error_mode, probes.thread_error_mode),
                               LocalDumpsCheck(probes.local_dumps),
                               DebuggerCheck(probes.aedebug_debugger, probes.aedebug_auto)};
  // Without the release's files (the check cannot run) there is nothing to verify.
  if (!probes.signatures.empty()) {
    checks.push_back(SignatureCheck(probes.signatures));
    checks.push_back(SmartAppControlCheck(probes.smart_app_control, probes.windows.build, probes.signatures));
  }
  return checks;
}

}  // namespace crashcheck
