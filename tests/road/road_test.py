#!/usr/bin/env python3
"""The road from a crash to the player, under Wine, through the real Calvorin.dll.

Each run lays out a game folder (Client.exe, Calvorin.dll, a notifier, the fault
modules) and crashes the sample client. As on Windows, the WER host stand-in
(WerHost.exe, the test prefix's AeDebug debugger) is started only for an exception that
the client's own handlers left alone, as the client's child; it calls the module's
exports and writes its results to a file named in the client's environment. The checks
read what the module left behind: the crash folder, the dump (read with obj2yaml and
lldb), the report text file, the exports' answers and how the notifier was started.

Usage: road_test.py GROUP --key=value...   (CMake passes the paths; see CMakeLists.txt)
GROUP is one of: road, box, edges, handlers, exports, planting, faults, stack.
Exit code 0 passed, 1 failed, 77 skipped.
"""
import contextlib
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zoneinfo
from datetime import datetime, timedelta, timezone

sys.path.insert(0, str(pathlib.Path(__file__).parents[1]))
import oracle  # noqa: E402
from wine_harness import (ARGS, FAILURES, check, crash_at_start, game_folder, key_values,  # noqa: E402
                          parse_args, stand_in_at_start, wine, wine_env, windows_path)

SKIP = 77

EVENT_NAME = "QuorvandelmirathornClientCrash"
NVIDIA_REPORT_ADVICE = ("fault.advice=NVIDIA driver fault: update or clean-install the GPU driver "
                        "and disable GPU overlays.")
NVIDIA_BOX = ("\\n\\nDetected external module: nvwgf2umx.dll\\n"
              "Update or clean-install the NVIDIA driver and disable GPU overlays.")
BOX_START = "An unexpected problem occurred - game will be closed."


def stand_in_env(options, output, env=None):
    """The client's environment, which the stand-in reads: its options and its output."""
    env = dict(env or os.environ)
    env["WER_HOST_OPTIONS"] = " ".join(options)
    env["WER_HOST_OUTPUT"] = windows_path(output)
    output.unlink(missing_ok=True)
    return env


def host_results(output, timeout=120):
    """The stand-in's results once it is done; {} when no stand-in was started. Called once
    the client has ended: a stand-in creates its output before it lets the client go on."""
    if not output.exists():
        return {}
    deadline = time.monotonic() + timeout
    text = ""
    while time.monotonic() < deadline:
        text = output.read_text(encoding="utf-8", errors="replace")
        if "host.done=1" in text:
            break
        time.sleep(0.05)
    return key_values(text)


class Game:
    """A game folder of its own for one run."""

    def __init__(self, name, notifier="recorder", image="Client.exe", client=None):
        self.dir = game_folder(name, *pathlib.Path(ARGS["fault-modules"]).glob("*.dll"),
                               client=client, image=image)
        if notifier == "recorder":
            shutil.copy(ARGS["recorder"], self.dir / "Brisvane.exe")
        elif notifier == "real":
            shutil.copy(ARGS["notifier"], self.dir / "Brisvane.exe")
        elif notifier == "directory":
            (self.dir / "Brisvane.exe").mkdir()
        self.image = image
        self.crash = self.dir / "Crash"

    def crash_client(self, *host_options, client_args=("--crash=in:nvwgf2umx.dll",), env=None,
                     expect_host=True):
        """Runs the client until it has ended; the stand-in, if Wine started one, handles
        its crash with `host_options`. Gives the stand-in's results, {} without one; the
        client's own output is kept in self.client_out."""
        output = self.dir / "wer-host.out"
        errors = []
        _, self.client_out = wine(self.dir / self.image, *client_args,
                                  env=stand_in_env(host_options, output, env), errors=errors)
        values = host_results(output)
        if expect_host:
            # Wine's own words (how it started the debugger, or why not) tell a stand-in
            # that never ran from one that failed.
            check(values.get("host.done") == "1",
                  f"{self.dir.name}: the stand-in handled the crash, got {values}, "
                  f"client said {self.client_out!r}, stderr {errors[0][-2000:]!r}")
        return values

    def crash_at_start(self, *host_options, client_args=("--crash=in:nvwgf2umx.dll",), env=None):
        """The stand-in starts the client as its debugger and calls the module at the
        first-chance exception: only for what the AeDebug road cannot give (run_stack)."""
        return crash_at_start(self.dir, *client_args, host_args=host_options, image=self.image,
                              env=env)

    def crash_files(self):
        return sorted(p.name for p in self.crash.iterdir()) if self.crash.exists() else []

    def notifier_starts(self, expect_start):
        """Command lines the recorder saw; waits for a start that is expected."""
        record = self.dir / "notifier-started.txt"
        if expect_start:
            for _ in range(200):
                if record.exists() and "current-dir=" in record.read_text(encoding="utf-8"):
                    break
                time.sleep(0.1)
        else:
            time.sleep(1.5)  # long enough for a wrongly started recorder to have written
        if not record.exists():
            return []
        return [key_values(line) for line in record.read_text(encoding="utf-8").splitlines()]

    def expect_notifier(self, module):
        lines = self.notifier_starts(True)
        expected = f'"{windows_path(self.dir)}\\Brisvane.exe" --module="{module}"'
        check([l.get("command-line") for l in lines if "command-line" in l] == [expected],
              f"{self.dir.name}: notifier started once with {expected!r}, saw {lines!r}")
        check([l.get("current-dir") for l in lines if "current-dir" in l] == [windows_path(self.dir)],
              f"{self.dir.name}: notifier runs in the client directory")

    def expect_no_notifier(self):
        check(self.notifier_starts(False) == [], f"{self.dir.name}: no notifier started")


def dump_streams(dump):
    """(stream types in order, CommentA bytes, exception fields) as obj2yaml reads them."""
    streams, ordered = oracle.read(ARGS["obj2yaml"], dump)
    comments = [bytes.fromhex(str(s.get("Content", ""))) for s in ordered if s["Type"] == "CommentA"]
    exception = {}
    if "Exception" in streams:
        record = streams["Exception"].get("Exception Record", {})
        exception = {"Thread ID": streams["Exception"].get("Thread ID"),
                     "Exception Code": record.get("Exception Code"),
                     "Exception Address": record.get("Exception Address")}
    return [s["Type"] for s in ordered], comments, exception


def expect_captured(game, values, module, name_end="_ENEU"):
    """The crash landed: S_OK, claimed, exactly a .dmp and a .txt, and their contents."""
    check(values.get("hr") == "0x00000000", f"{game.dir.name}: S_OK, got {values.get('hr')}")
    check(values.get("claimed") == "1", f"{game.dir.name}: claimed")
    check(values.get("event") == EVENT_NAME, f"{game.dir.name}: event name {values.get('event')}")
    check(values.get("size") == "31", f"{game.dir.name}: size 31")
    check(values.get("signatures") == "0", f"{game.dir.name}: no signatures")
    files = game.crash_files()
    check(len(files) == 2 and files[0].endswith(".dmp") and files[1].endswith(".txt")
          and files[0][:-4] == files[1][:-4],
          f"{game.dir.name}: crash folder holds one .dmp and its .txt, got {files}")
    if not files or not files[0].endswith(".dmp"):
        return None, None
    dump = game.crash / files[0]
    report = (game.crash / (files[0][:-4] + ".txt")).read_bytes()
    check(re.fullmatch(r"Client_10\.2\.0\.7_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d" + name_end + r"\.dmp",
                       files[0]),
          f"{game.dir.name}: dump name {files[0]}")
    check(f"fault.module={module or 'unknown'}\r\n".encode() in report,
          f"{game.dir.name}: report names the fault module {module!r}")
    return dump, report


def run_road():
    game = Game("road-nvidia")
    values = game.crash_client()
    dump, report = expect_captured(game, values, "nvwgf2umx.dll")
    # As WER does: after the client's handlers declined the crash, with the whole
    # structure of current Windows, and the debugger launch question once claimed.
    check(values.get("exception.first.chance") == "0", "road-nvidia: a second-chance exception")
    check(values.get("info.size") == "1424" and values.get("info.fatal") == "1",
          f"road-nvidia: dwSize 1424, bIsFatal TRUE, got {values}")
    check(values.get("signature.calls") == "0" and values.get("launch.hr") == "0x00000000"
          and values.get("launch.custom") == "0" and values.get("launch.autolaunch") == "0",
          f"road-nvidia: no signatures asked, no debugger offered, got {values}")
    # The module frees System32's dbghelp.dll before it returns. (Wine's dbghelp loads
    # version.dll for itself and keeps it, so version.dll is checked where no dump is
    # written: road_faults and road_stack.)
    check(values.get("loaded.before.dbghelp") == "0" and values.get("loaded.dbghelp") == "0",
          f"road-nvidia: nothing of dbghelp stays loaded in the host, got {values}")
    if dump is None:
        return
    check(NVIDIA_REPORT_ADVICE.encode() + b"\r\n" in report, "report carries the NVIDIA advice")
    check(b"runtime.module.0=Client.exe\r\n" in report, "report lists the client's modules")

    types, comments, exception = dump_streams(dump)
    check(types.count("CommentA") == 1, f"one CommentA stream, streams {types}")
    check(comments == [report + b"\0"], "the CommentA stream is the report text file plus NUL")
    check(exception.get("Exception Code") == int(values["exception.code"], 16),
          f"exception code in the dump {exception}")
    check(exception.get("Exception Address") == int(values["exception.address"], 16),
          "exception address in the dump")
    check(exception.get("Thread ID") == int(values["exception.thread"]),
          "faulting thread in the dump")
    check(f"primary.thread={values['exception.thread']}\r\n".encode() in report,
          "report names the faulting thread")

    thread_lines = [l for l in oracle.lldb(ARGS["lldb"], dump, "thread list").splitlines()
                    if "stop reason" in l]
    check(any("nvwgf2umx.dll" in l and "0xc0000005" in l for l in thread_lines),
          f"lldb names the faulting module: {thread_lines}")

    game.expect_notifier("nvwgf2umx.dll")

    # The block the client keeps reaches the dump name and the report, read out of the
    # crashed client through the real process handle.
    game = Game("road-block")
    values = game.crash_client(client_args=("--crash=in:nvwgf2umx.dll", "--tag=nightly",
                                            "--language=de", "--text1=scene=harbour\\r\\n"))
    dump, report = expect_captured(game, values, "nvwgf2umx.dll", name_end="_nightly_DE")
    if report is not None:
        check(b"overlays.\r\nscene=harbour\r\nruntime.module.0=" in report,
              f"road-block: the client's text stands before the module list: {report[:600]!r}")


def run_box():
    if not os.environ.get("DISPLAY"):
        print("SKIPPED: the notifier's box needs an X display (scripts/test.sh starts Xvfb)")
        return SKIP
    if not ARGS.get("notifier") or not ARGS.get("box-probe"):
        print("SKIPPED: Brisvane.exe or BoxProbe.exe is not built")
        return SKIP
    game = Game("road-box", notifier="real")
    values = game.crash_client()
    expect_captured(game, values, "nvwgf2umx.dll")
    code, out = wine(ARGS["box-probe"], "--timeout-ms=30000")
    box = key_values(out)
    check(code == 0, f"BoxProbe found and closed the box (exit {code}, {out!r})")
    check(box.get("title") == "Game Crash", f"box caption {box.get('title')!r}")
    text = box.get("text", "")
    print(f"box: {box}")
    check(text.startswith(BOX_START) and text.endswith(NVIDIA_BOX), f"box text {text!r}")
    return None


def run_edges():
    # Out-pointers WER must give: refused before anything happens.
    for which in ("claimed", "size", "signatures"):
        game = Game(f"null-{which}")
        values = game.crash_client(f"--null-out={which}")
        check(values.get("hr") == "0x80070057", f"null {which}: E_INVALIDARG, got {values.get('hr')}")
        check(not game.crash.exists(), f"null {which}: no crash folder")
        game.expect_no_notifier()

    # Captures that are given up leave the crash to WER.
    for name, options, image in (("null-process", ["--null-process"], "Client.exe"),
                                 ("null-information", ["--null-info"], "Client.exe"),
                                 ("other-image", [], "Launcher.exe")):
        game = Game(name, image=image)
        values = game.crash_client(*options)
        check(values.get("hr") == "0x00000000" and values.get("claimed") == "0"
              and values.get("signatures") == "0",
              f"{name}: S_OK and unclaimed, got {values}")
        check(not game.crash.exists(), f"{name}: no crash folder")
        game.expect_no_notifier()

    # A process handle without the rights the dump needs: the dump writer really fails.
    game = Game("dump-fails")
    values = game.crash_client("--weak-process")
    check(values.get("hr") == "0x00000000" and values.get("claimed") == "0",
          f"dump-fails: S_OK and unclaimed, got {values}")
    check(game.crash_files() == [], f"dump-fails: no .dmp, .tmp or .txt, got {game.crash_files()}")
    game.expect_no_notifier()

    # No or a short event name buffer: captured and notified, but not claimed.
    for name, options in (("no-event-buffer", ["--no-event-buffer"]),
                          ("event-size-30", ["--event-size=30"])):
        game = Game(name)
        values = game.crash_client(*options)
        check(values.get("hr") == "0x8007007A" and values.get("size") == "31"
              and values.get("claimed") == "0",
              f"{name}: 0x8007007A, size 31, unclaimed, got {values}")
        files = game.crash_files()
        check(len(files) == 2, f"{name}: the dump and its text were still written, got {files}")
        game.expect_notifier("nvwgf2umx.dll")
    game = Game("event-size-31")
    expect_captured(game, game.crash_client("--event-size=31"), "nvwgf2umx.dll")

    # An address that no module holds.
    game = Game("no-module")
    values = game.crash_client(client_args=("--crash=no-module",))
    dump, report = expect_captured(game, values, "")
    if report is not None:
        check(b"fault.advice=none\r\n" in report, "no-module: no advice")
    game.expect_notifier("")

    # Other fault modules reach the notifier under their own names.
    for module in ("GameOverlayRenderer64.dll", "AudioMixer64.dll"):
        game = Game(f"fault-{module}")
        expect_captured(game, game.crash_client(client_args=(f"--crash=in:{module}",)), module)
        game.expect_notifier(module)

    # No notifier to start: the dump and the claim stand.
    for notifier in ("missing", "directory"):
        game = Game(f"notifier-{notifier}", notifier=notifier)
        expect_captured(game, game.crash_client(), "nvwgf2umx.dll")
        game.expect_no_notifier()

    run_older_dump_replaced()


def run_handlers():
    """Whether WER hears of a fault depends on the client's own handlers, as on Windows: a
    fault the client handles itself, or a crash whose filter ends the process, never
    starts the stand-in; a filter that passes the crash on leaves it to WER as usual."""
    for name, option, said in (("vectored-handler", "--handle=vectored", "handled=vectored"),
                               ("filter-ends-process", "--filter=exit", "filter=exit")):
        game = Game(name)
        values = game.crash_client(client_args=("--crash=in:nvwgf2umx.dll", option),
                                   expect_host=False)
        check(said in game.client_out, f"{name}: the client's handler ran, it said {game.client_out!r}")
        check(values == {}, f"{name}: no stand-in was started, got {values}")
        check(not game.crash.exists(), f"{name}: no crash folder")
        game.expect_no_notifier()

    game = Game("filter-passes-on")
    values = game.crash_client(client_args=("--crash=in:nvwgf2umx.dll", "--filter=continue-search"))
    check("filter=continue-search" in game.client_out, "filter-passes-on: the filter ran")
    expect_captured(game, values, "nvwgf2umx.dll")
    game.expect_notifier("nvwgf2umx.dll")

    # The structure as older Windows declares it ends before bIsFatal (the stand-in zeroes
    # what follows): the crash is fatal, and nothing past dwSize may say otherwise.
    game = Game("structure-before-fatal-flag")
    values = game.crash_client("--info-size=1416")
    check(values.get("info.size") == "1416", f"structure-before-fatal-flag: dwSize 1416, got {values}")
    expect_captured(game, values, "nvwgf2umx.dll")
    game.expect_notifier("nvwgf2umx.dll")

    run_fatal_flag()


def run_fatal_flag():
    """bIsFatal FALSE is a report of a process that goes on running, on a Windows that fills
    the flag (the prefix is Windows 10 22H2); posed as Windows 10 1903, whose structure
    has padding there, the same bytes mean nothing. A structure too short for the context
    is no crash to capture either."""
    game = Game("not-fatal")
    values = game.crash_client("--not-fatal")
    check(values.get("host.windows.build") == "19045", f"not-fatal: Windows 10 22H2, got {values}")
    expect_declined(game, values, "bIsFatal FALSE")
    check(not game.crash.exists(), "not-fatal: no crash folder")

    with stand_in_posing_as("win10"):
        game = Game("not-fatal-before-2004")
        values = game.crash_client("--not-fatal")
    check(values.get("host.windows.build") == "18362",
          f"not-fatal-before-2004: Windows 10 1903, got {values}")
    expect_captured(game, values, "nvwgf2umx.dll")
    game.expect_notifier("nvwgf2umx.dll")

    game = Game("structure-without-context")
    values = game.crash_client("--info-size=1407")
    expect_declined(game, values, "dwSize 1407")
    check(not game.crash.exists(), "structure-without-context: no crash folder")


@contextlib.contextmanager
def stand_in_posing_as(version):
    """Makes the stand-in see an older Windows, by one of Wine's own version names."""
    key = r"HKCU\Software\Wine\AppDefaults\WerHost.exe"
    reg = lambda *args: subprocess.run([ARGS["wine-run"], "reg", *args], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                       timeout=120, check=True)
    reg("add", key, "/v", "Version", "/d", version, "/f")
    try:
        yield
    finally:
        reg("delete", key, "/f")


def run_older_dump_replaced():
    """An older dump of the same name, and a stale temporary file, give way to the new one.

    The name carries the time to the second, so every name the capture can compose in the
    next minute is planted beforehand: one of them is the one that gets replaced."""
    game = Game("older-dump")
    game.crash.mkdir()
    planted = dump_names_of_next_minute()
    for name in planted:
        (game.crash / f"{name}.dmp").write_bytes(b"older dump")
        (game.crash / f"{name}.dmp.tmp").write_bytes(b"stale temporary file")
        (game.crash / f"{name}.txt").write_bytes(b"older report")
    values = game.crash_client()
    check(values.get("claimed") == "1", f"older-dump: claimed, got {values}")
    replaced = [n for n in planted if (game.crash / f"{n}.dmp").read_bytes()[:4] == b"MDMP"]
    check(len(replaced) == 1, f"older-dump: exactly one planted dump was replaced, got {replaced}")
    if replaced:
        name = replaced[0]
        check(not (game.crash / f"{name}.dmp.tmp").exists(), "older-dump: its .tmp is gone")
        report = (game.crash / f"{name}.txt").read_bytes()
        check(report.startswith(b"crash.schema=2\r\n"), "older-dump: its report text replaced")
        untouched = [n for n in planted if n != name]
        check(all((game.crash / f"{n}.dmp").read_bytes() == b"older dump" for n in untouched),
              "older-dump: dumps of other names untouched")
    files = sorted(p.name for p in game.crash.iterdir())
    check(len(files) == 3 * len(planted) - 1, f"older-dump: nothing else in the folder ({len(files)})")


def run_exports():
    module = ARGS["module"]
    dump = subprocess.run([ARGS["objdump"], "-p", module], capture_output=True, text=True,
                          check=True).stdout
    exports = re.findall(r"^\s+\[\s*\d+\]\s+(\w+)$", dump.split("[Ordinal/Name Pointer] Table")[-1]
                         if "[Ordinal/Name Pointer] Table" in dump else dump, re.M)
    check(sorted(exports) == ["OutOfProcessExceptionEventCallback",
                              "OutOfProcessExceptionEventDebuggerLaunchCallback",
                              "OutOfProcessExceptionEventSignatureCallback"],
          f"exactly the three WER exports, got {exports}")
    # Only KnownDLLs, which Windows always maps from System32: a DLL of another name could
    # be found beside the module, in the game folder (see run_planting).
    imports = sorted(d.lower() for d in re.findall(r"DLL Name:\s+(\S+)", dump))
    check(set(imports) <= KNOWN_DLLS_IMPORTED, f"imports only KnownDLLs, got {imports}")
    print(f"imports: {imports}")

    code, out = wine(ARGS["wer-host"], "--exports-only", "--dll=" + windows_path(module))
    values = key_values(out)
    check(code == 0, f"LoadLibraryW and GetProcAddress found the exports (exit {code}, {out!r})")
    check(values.get("exports.found") == "3", f"all three exports found, got {values}")
    check(values.get("debugger.hr") == "0x00000000" and values.get("debugger.custom") == "0"
          and values.get("debugger.autolaunch") == "0",
          f"debugger launch answers FALSE, FALSE, got {values}")
    check(values.get("debugger.null.hr") == "0x80070057", "debugger launch without pointers")
    check(values.get("signature.hr") == "0x80004001", "signature callback: E_NOTIMPL")


# The KnownDLLs the module may import. dbghelp.dll and version.dll are not KnownDLLs and
# are loaded from System32 at run time instead.
KNOWN_DLLS_IMPORTED = {"kernel32.dll", "msvcrt.dll"}


def plant(game):
    """A dbghelp.dll and a version.dll in the game folder that leave a marker when loaded."""
    for dll in ("dbghelp.dll", "version.dll"):
        shutil.copy(pathlib.Path(ARGS["planted"]) / dll, game.dir / dll)


def native_first_env():
    """Wine prefers its own builtin dbghelp and version over a DLL file of that name it finds
    (in the game folder or System32), so nothing planted would ever run. Native first makes
    Wine behave as Windows does: a planted DLL that the loader finds is the one it runs."""
    return wine_env("dbghelp,version=n,b")


def markers(game):
    return sorted(p.name.lower() for p in game.dir.glob("*.loaded"))


def run_planting():
    # The control: a module that imports both DLLs, loaded the same way, does get the
    # planted ones, so a marker would show if Calvorin.dll got them too.
    game = Game("planted-control")
    plant(game)
    shutil.copy(ARGS["importer"], game.dir / "PlantImporter.dll")
    wine(ARGS["wer-host"], "--exports-only", "--altered-search-path",
         "--dll=" + windows_path(game.dir / "PlantImporter.dll"), env=native_first_env())
    check(markers(game) == ["dbghelp.dll.loaded", "version.dll.loaded"],
          f"planted-control: an importing module loads the planted DLLs, markers {markers(game)}")

    # Calvorin.dll loaded the same way binds both from System32: the version is read (the
    # planted version.dll would fail it), the dump is written (so would the planted
    # dbghelp.dll) and nothing planted was loaded.
    game = Game("planted")
    plant(game)
    values = game.crash_client("--altered-search-path", env=native_first_env())
    dump, _ = expect_captured(game, values, "nvwgf2umx.dll")
    if dump is not None:
        check(dump.read_bytes()[:4] == b"MDMP", "planted: a real minidump")
    check(markers(game) == [], f"planted: no planted DLL was loaded, markers {markers(game)}")
    game.expect_notifier("nvwgf2umx.dll")


def all_files(game):
    """Every file under the game folder that a capture could have left."""
    return sorted(str(p.relative_to(game.dir)) for p in game.dir.rglob("*")
                  if p.suffix.lower() in (".dmp", ".tmp", ".txt") and p.name != "notifier-started.txt")


def expect_declined(game, values, what):
    """A capture given up: S_OK, unclaimed, no dump, temporary or text file, no notifier."""
    check(values.get("hr") == "0x00000000" and values.get("claimed") == "0"
          and values.get("signatures") == "0", f"{game.dir.name}: {what}: S_OK and unclaimed, got {values}")
    check(all_files(game) == [], f"{game.dir.name}: {what}: nothing left, got {all_files(game)}")
    game.expect_no_notifier()


def lock_folder(folder):
    """Makes `folder` refuse new files; returns the undo, or None when it cannot be done.

    Wine maps a Unix folder's write permission to the folder's writability (Windows itself
    ignores a read-only attribute on folders). root writes whatever the mode says, so as
    root the folder is made immutable (chattr +i), which stops root too where the file
    system and the container's capabilities allow it."""
    if os.geteuid() != 0:
        folder.chmod(0o555)
        undo = lambda: folder.chmod(0o755)
    else:
        if not chattr("+i", folder):
            return None
        undo = lambda: subprocess.run(["chattr", "-i", str(folder)], check=True)
    try:
        (folder / "probe").write_bytes(b"")
    except OSError:
        return undo
    (folder / "probe").unlink()
    undo()
    return None


def chattr(flag, folder):
    """chattr `flag` on `folder`; False where that fails, or where there is no chattr."""
    try:
        return subprocess.run(["chattr", flag, str(folder)], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0
    except FileNotFoundError:
        return False


def dump_names_of_next_minute(now=None):
    """Every dump name (without .dmp) a capture of the 10.2.0.7 client can compose from
    two seconds ago to a minute ahead: the name carries the time to the second."""
    now = (now or datetime.now(timezone.utc)).replace(microsecond=0)
    zone = zoneinfo.ZoneInfo("Europe/Warsaw")
    return [(now + timedelta(seconds=s)).astimezone(zone).strftime("Client_10.2.0.7_%Y-%m-%d_%H-%M-%S_ENEU")
            for s in range(-2, 60)]


def deep_game(name, dump_length):
    """A game whose dump path will be exactly `dump_length` units long."""
    # Client_10.2.0.7_YYYY-MM-DD_HH-MM-SS_ENEU.dmp is 44 units, "\Crash\" 7.
    folder_length = dump_length - 44 - 7
    base = pathlib.Path(ARGS["work"]) / name
    shutil.rmtree(base, ignore_errors=True)
    relative = pathlib.Path(name)
    missing = folder_length - len(windows_path(base))
    while missing > 0:
        part = min(missing - 1, 120)
        if missing - 1 - part == 1:  # never leave one unit: a component needs two
            part -= 1
        relative /= "d" * max(part, 1)
        missing -= 1 + max(part, 1)
    game = Game(str(relative))
    check(len(windows_path(game.dir)) == folder_length,
          f"{name}: client folder of {folder_length} units, got {len(windows_path(game.dir))}")
    return game


def run_faults():
    # The crash folder refuses new files. A run that was killed may have left it locked.
    leftover = pathlib.Path(ARGS["work"]) / "unwritable-crash" / "Crash"
    if leftover.exists():
        chattr("-i", leftover)
        leftover.chmod(0o755)
    game = Game("unwritable-crash")
    game.crash.mkdir()
    undo = lock_folder(game.crash)
    if undo is None:
        print("SKIPPED unwritable-crash: neither the folder's mode nor chattr +i stops this user "
              "from writing (root on a file system without the immutable attribute)")
    else:
        try:
            values = game.crash_client()
        finally:
            undo()
        expect_declined(game, values, "crash folder not writable")

    # A file where the crash folder should be.
    game = Game("crash-is-a-file")
    game.crash.write_bytes(b"not a folder")
    expect_declined(game, game.crash_client(), "a file named Crash")
    check(game.crash.read_bytes() == b"not a folder", "crash-is-a-file: the file is untouched")

    run_held_temporary()

    run_scanner()

    run_scanner_holds_the_temporary_file()

    run_planted_links()

    run_two_at_once()

    # Dump paths at the limit: the temporary path (".tmp" more) must fit 259 units too.
    for length, commits in ((255, True), (256, False), (259, False), (260, False)):
        game = deep_game(f"path-{length}", length)
        values = game.crash_client()
        if commits:
            dump, _ = expect_captured(game, values, "nvwgf2umx.dll")
            if dump is not None:
                check(len(windows_path(dump)) == length, f"path-{length}: dump path {windows_path(dump)}")
            game.expect_notifier("nvwgf2umx.dll")
        else:
            expect_declined(game, values, f"a dump path of {length} units")

    # A client without a version resource: given up after the crash folder was made.
    game = Game("no-version", client=ARGS["client-noversion"])
    values = game.crash_client()
    expect_declined(game, values, "no version resource")
    check(values.get("loaded.version") == "0", f"no-version: version.dll was freed, got {values}")
    check(game.crash.is_dir(), "no-version: the crash folder was created first")

    # A version resource without fixed file information: no version, not a made-up one.
    game = Game("no-fixed-info", client=ARGS["client-nofixedinfo"])
    values = game.crash_client()
    expect_declined(game, values, "no fixed file information")
    check(game.crash.is_dir(), "no-fixed-info: the crash folder was created first")

    # System32's version.dll cannot be loaded (disabled in Wine): the version step fails
    # like any failed call, after the crash folder was made.
    game = Game("no-version-dll")
    expect_declined(game, game.crash_client(env=wine_env("version=")), "version.dll cannot be loaded")
    check(game.crash.is_dir(), "no-version-dll: the crash folder was created first")

    # A block that runs into unreserved memory is not read: no tag, the language from
    # the settings (none: ENEU), no client text in the report.
    game = Game("unreadable-tail")
    values = game.crash_client(client_args=("--crash=in:nvwgf2umx.dll", "--tag=nightly",
                                            "--language=de", "--text1=scene=harbour",
                                            "--unreadable-tail=1"))
    dump, report = expect_captured(game, values, "nvwgf2umx.dll")
    if report is not None:
        check(b"harbour" not in report and b"nightly" not in report,
              "unreadable-tail: nothing of the block reaches the report")

    # Strings that fill their fields without a terminator end in the field's last unit.
    game = Game("unterminated")
    values = game.crash_client(client_args=("--crash=in:nvwgf2umx.dll", "--unterminated"))
    dump, report = expect_captured(game, values, "nvwgf2umx.dll",
                                   name_end="_x{63}_(?:X{31}|ENEU)")
    if report is not None:
        # The two texts stand back to back: 2047 and 16383 units, each cut at its field.
        check(b"\0" not in report and b"x" * 18430 in report and b"x" * 18431 not in report,
              "unterminated: the report holds each text cut at its field, no NUL")
        _, comments, _ = dump_streams(dump)
        check(comments == [report + b"\0"], "unterminated: the comment stream is the report")

    # The client is gone before the module runs: nothing can be read of it, and the
    # capture either commits whole or leaves nothing.
    game = Game("exited-client")
    values = game.crash_client("--exit-first")
    check(values.get("client.exited") == "1", f"exited-client: the client had exited, got {values}")
    if values.get("claimed") == "1":
        expect_captured(game, values, "")
        print("exited-client: Wine still wrote a dump of the exited client")
    else:
        expect_declined(game, values, "exited client")
        print("exited-client: declined")


def run_two_at_once():
    """Two clients of one folder crash together under two hosts at once. Whether their
    captures meet in the same second is up to the scheduler, so only what must hold in
    every interleaving is checked: nothing temporary left, every dump whole with a report
    as its comment stream, no report text without its dump, a claim only with a dump."""
    game = Game("two-at-once")
    outputs = [game.dir / f"wer-host-{n}.out" for n in range(2)]
    clients = [subprocess.Popen([ARGS["wine-run"], str(game.dir / "Client.exe"),
                                 "--crash=in:nvwgf2umx.dll"],
                                env=stand_in_env((), output), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
               for output in outputs]
    results = []
    for client, output in zip(clients, outputs):
        client.wait(timeout=120)
        results.append(host_results(output))
    claims = [r.get("claimed") for r in results]
    check(all(r.get("hr") in ("0x00000000",) for r in results), f"two-at-once: S_OK twice, got {results}")
    files = game.crash_files()
    dumps = [f for f in files if f.endswith(".dmp")]
    check(not any(f.endswith(".tmp") for f in files), f"two-at-once: no temporary file, got {files}")
    check(all(f[:-4] + ".dmp" in dumps for f in files if f.endswith(".txt")),
          f"two-at-once: every report text file beside a dump, got {files}")
    # Two claims of the same name leave one dump (the later replaced the earlier).
    claimed = claims.count("1")
    check((1 <= len(dumps) <= claimed) if claimed else not dumps,
          f"two-at-once: dumps only for claims, got {files} and claims {claims}")
    for name in dumps:
        _, comments, _ = dump_streams(game.crash / name)
        check(len(comments) == 1 and comments[0].startswith(b"crash.schema=2\r\n"),
              f"two-at-once: {name} is a whole dump with the report")
    print(f"two-at-once: claims {claims}, files {files}")


@contextlib.contextmanager
def held_files(paths, *options):
    """A Windows program holds `paths` open (tests/fixtures/file_holder, with `options`)
    until the block ends; gives a function that returns what it has printed so far."""
    release = pathlib.Path(paths[0]).parent.parent / "release-held-files"
    release.unlink(missing_ok=True)
    with tempfile.TemporaryFile() as out:
        def printed():
            out.seek(0)
            return out.read().decode("utf-8", errors="replace")
        holder = subprocess.Popen([ARGS["wine-run"], ARGS["file-holder"], *options,
                                   "--until=" + windows_path(release),
                                   *(windows_path(p) for p in paths)],
                                  stdout=out, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        try:
            for _ in range(600):
                if "held=" in printed() or holder.poll() is not None:
                    break
                time.sleep(0.1)
            check(f"held={len(paths)}" in printed(), f"the holder holds {len(paths)} files: {printed()!r}")
            yield printed
        finally:
            release.write_bytes(b"")
            holder.wait(timeout=120)
            release.unlink()


def run_held_temporary():
    """Two captures of one client in the same second compose the same dump path; the
    one that opens the temporary file second is kept out by the first's sharing and gives
    up without touching the first's file. A Windows program holds every temporary name
    of the next minute as the first capture would, the real capture runs, then the holder
    lets go and the next capture commits."""
    game = Game("held-temporary")
    game.crash.mkdir()
    temporaries = [game.crash / f"{name}.dmp.tmp" for name in dump_names_of_next_minute()]
    with held_files(temporaries):
        values = game.crash_client()
        check(values.get("hr") == "0x00000000" and values.get("claimed") == "0",
              f"held-temporary: the second capture gives up unclaimed, got {values}")
        files = game.crash_files()
        check(sorted(files) == sorted(t.name for t in temporaries),
              f"held-temporary: only the held files, no .dmp or .txt, got {len(files)} files")
        check(all(t.stat().st_size == 0 for t in temporaries),
              "held-temporary: the held files were not written to")
        game.expect_no_notifier()
    for t in temporaries:
        t.unlink()
    expect_captured(game, game.crash_client(), "nvwgf2umx.dll")
    game.expect_notifier("nvwgf2umx.dll")


def run_scanner_holds_the_temporary_file():
    """A virus scanner that holds the .tmp itself (read access, read and write sharing, no
    delete sharing) for longer than every retry: the capture cannot make its .tmp new and
    declines, leaving only the held files. Once they are more than ten minutes old (aged
    here), the next capture removes every one of them: the folder then holds its own .dmp
    and .txt only."""
    game = Game("scanner-holds-temporary")
    game.crash.mkdir()
    temporaries = [game.crash / f"{name}.dmp.tmp" for name in dump_names_of_next_minute()]
    with held_files(temporaries, "--scanner"):
        values = game.crash_client()
        check(values.get("hr") == "0x00000000" and values.get("claimed") == "0",
              f"scanner-holds-temporary: S_OK and unclaimed, got {values}")
        files = game.crash_files()
        check(sorted(files) == sorted(t.name for t in temporaries)
              and all(t.stat().st_size == 0 for t in temporaries),
              f"scanner-holds-temporary: only the held files, untouched, got {len(files)} files")
        game.expect_no_notifier()
    eleven_minutes_ago = time.time() - 11 * 60
    for t in temporaries:
        os.utime(t, (eleven_minutes_ago, eleven_minutes_ago))
    expect_captured(game, game.crash_client(), "nvwgf2umx.dll")
    game.expect_notifier("nvwgf2umx.dll")


def run_planted_links():
    """Links planted under the .dmp and .txt name of every dump name of the next minute
    point at a file outside the crash folder. The capture writes both files under new
    temporary names and renames them over the links, so it never writes through one: the
    file keeps its bytes, and the committed .dmp and .txt are files of their own. (No link
    is planted under a temporary name: Wine 8 deletes a Unix link's target where Windows
    deletes the link itself, so the capture's delete of a leftover .tmp would tell Wine's
    behaviour, not ours.) A crash folder that is itself a link to another folder is
    refused: Wine reports a Unix link to a folder as a reparse point."""
    game = Game("planted-links")
    game.crash.mkdir()
    victim = game.dir / "victim.bin"
    victim.write_bytes(b"not the capture's")
    for name in dump_names_of_next_minute():
        for suffix in (".dmp", ".txt"):
            (game.crash / (name + suffix)).symlink_to(victim)
    values = game.crash_client()
    check(values.get("claimed") == "1", f"planted-links: claimed, got {values}")
    check(victim.exists() and victim.read_bytes() == b"not the capture's",
          "planted-links: the link target untouched")
    written = sorted(p.name for p in game.crash.iterdir() if not p.is_symlink())
    check(len(written) == 2 and written[0].endswith(".dmp") and written[1] == written[0][:-4] + ".txt",
          f"planted-links: one .dmp and its .txt of their own, nothing else, got {written}")
    if len(written) == 2:
        check((game.crash / written[0]).read_bytes()[:4] == b"MDMP"
              and (game.crash / written[1]).read_bytes().startswith(b"crash.schema=2\r\n"),
              "planted-links: the dump and the report in files of their own")
    game.expect_notifier("nvwgf2umx.dll")

    game = Game("crash-is-a-link")
    elsewhere = game.dir / "elsewhere"
    elsewhere.mkdir()
    game.crash.symlink_to(elsewhere, target_is_directory=True)
    expect_declined(game, game.crash_client(), "a crash folder that is a link")
    check(list(elsewhere.iterdir()) == [], "crash-is-a-link: nothing written where the link points")


def run_scanner():
    """A virus scanner holds a file it has opened against renames and deletes (read and
    write sharing, no delete sharing). Here it holds every dump name of the next minute,
    so the commit's rename onto the dump's name is refused ("access denied" under Wine).
    One scanner lets go 100 ms after the capture has closed its .tmp: the capture tries
    again and commits. The other never lets go: after a second of retries the capture
    gives up, deletes its .tmp and leaves the crash to WER."""
    for name, let_go in (("scanner-lets-go", True), ("scanner-holds-on", False)):
        game = Game(name)
        game.crash.mkdir()
        dumps = [game.crash / f"{n}.dmp" for n in dump_names_of_next_minute()]
        options = ["--scanner"] + (["--let-go=" + windows_path(game.crash) + ":100"] if let_go else [])
        with held_files(dumps, *options) as printed:
            values = game.crash_client()
            held = printed()
        files = game.crash_files()
        committed = [d for d in dumps if d.read_bytes()[:4] == b"MDMP"]
        check(not any(f.endswith(".tmp") for f in files), f"{name}: no .tmp left, got {files}")
        if let_go:
            check("let-go=1" in held, f"{name}: the scanner let go after the .tmp was closed: {held!r}")
            check(values.get("claimed") == "1", f"{name}: claimed after the retry, got {values}")
            check(len(committed) == 1 and (committed[0].with_suffix(".txt")).exists(),
                  f"{name}: one dump replaced a held name, with its .txt, got {len(committed)}")
            game.expect_notifier("nvwgf2umx.dll")
        else:
            check(values.get("hr") == "0x00000000" and values.get("claimed") == "0",
                  f"{name}: S_OK and unclaimed, got {values}")
            check(all(d.stat().st_size == 0 for d in dumps) and not any(f.endswith(".txt") for f in files),
                  f"{name}: the held names untouched and no report, got {len(committed)} dumps")
            game.expect_no_notifier()


def run_stack():
    """The whole capture on a stack of 256 KiB, and how deep it reaches. The stand-in starts
    the client itself here: its control run overflows the stand-in's own stack, and under
    AeDebug a crashing stand-in would be handed to another one instead of failing."""
    game = Game("stack-256")
    values = game.crash_at_start("--stack-kib=256")
    expect_captured(game, values, "nvwgf2umx.dll")
    available = int(values.get("stack.available", "0"))
    peak = int(values.get("stack.peak", "0"))
    check(0 < available <= 256 * 1024, f"stack-256: at most 256 KiB below the call, got {available}")
    check(values.get("stack.exhausted") == "0" and 0 < peak < available,
          f"stack-256: the capture stayed inside the painted stack, got {values}")
    print(f"stack: whole capture with MiniDumpWriteDump: peak {peak} bytes of {available} available")

    # Without dbghelp (disabled in Wine), the capture runs all of its own code up to the
    # dump and gives up there: the peak of our own code.
    game = Game("stack-own-code")
    values = game.crash_at_start("--stack-kib=256", env=wine_env("dbghelp="))
    expect_declined(game, values, "no dbghelp")
    check(values.get("loaded.version") == "0" and values.get("loaded.dbghelp") == "0",
          f"stack-own-code: the version calls left nothing loaded, got {values}")
    own = int(values.get("stack.peak", "0"))
    check(values.get("stack.exhausted") == "0" and 0 < own <= peak,
          f"stack-own-code: own code alone reaches no deeper, got {values}")
    print(f"stack: own code up to the dump (dbghelp disabled): peak {own} bytes")

    # The dump writer alone, called at the top of the same stack as the module calls it.
    game = Game("stack-dump-writer")
    values = game.crash_at_start("--stack-kib=256", "--dump-only=" + windows_path(game.dir / "only.dmp"))
    writer = int(values.get("stack.peak", "0"))
    check(values.get("dump.written") == "1" and values.get("stack.exhausted") == "0" and writer > 0,
          f"stack-dump-writer: MiniDumpWriteDump alone wrote a dump, got {values}")
    print(f"stack: MiniDumpWriteDump alone: peak {writer} bytes")

    # The control: well below the peak, the stand-in's stack overflows, so the 256 KiB
    # above were really all the capture had.
    game = Game("stack-too-small")
    code, out = stand_in_at_start(game.dir / "Calvorin.dll", game.dir / "Client.exe",
                                  "--crash=in:nvwgf2umx.dll",
                                  host_args=(f"--stack-kib={max(64, peak // 1024 - 24)}",))
    check(code != 0 and "hr=" not in out,
          f"stack-too-small: the capture overflows a stack below its peak (exit {code})")


def main():
    group = sys.argv[1]
    parse_args(sys.argv[2:])
    # Wine's services outlive the program that starts them and would hold a captured
    # stdout open; started here first, they hold none of ours.
    subprocess.run([ARGS["wine-run"], "cmd", "/c", "exit"], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=120)
    result = {"road": run_road, "box": run_box, "edges": run_edges, "handlers": run_handlers,
              "exports": run_exports,
              "planting": run_planting, "faults": run_faults, "stack": run_stack}[group]()
    if result == SKIP:
        return SKIP
    print(f"{group}: {'FAILED' if FAILURES else 'passed'} ({len(FAILURES)} failures)")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
