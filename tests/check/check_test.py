#!/usr/bin/env python3
"""crash-check.exe under Wine, run from a copy of the release layout as a studio would run
it on Windows: WER is played by the AeDebug-started stand-in, which here loads the module
only when the registry lists it (--require-listed), as WER does. The run as shipped must
pass with every figure; a copy with a broken file in place of a real one must fail for
that file's reason; a copy without a file must not run at all. After every run nothing
may be left but the report (and, with --keep, the dumps): no scratch folder, no
registration.

Usage: check_test.py --key=value...   (CMake passes the paths; see CMakeLists.txt)
Exit code 0 passed, 1 failed, 77 skipped.
"""
import json
import os
import pathlib
import shutil
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parents[1]))
import oracle  # noqa: E402
from wine_harness import ARGS, FAILURES, check, key_values, parse_args, windows_path  # noqa: E402

HELPER_KEY = r"HKCU\Software\Microsoft\Windows\Windows Error Reporting\RuntimeExceptionHelperModules"
# What Wine answers where Windows would: no WER service, the stand-in as AeDebug debugger,
# unsigned test builds, and Wine itself.
WINE_WARNINGS = {"Windows build", "WER service", "just-in-time debugger", "signatures"}
# Wine's dbghelp writes none of the dump type's handle, unloaded-module, memory-info and
# thread-info streams, for the capture or for a bare MiniDumpWriteDump.
WINE_STREAMS = "this system's dbghelp writes no HandleDataStream, UnloadedModuleListStream, " \
               "MemoryInfoListStream, ThreadInfoListStream"
FIGURES = ("crash_to_dump_ms", "crash_to_box_ms", "dump_bytes", "capture_ms", "bare_dump_ms", "bare_dump_bytes")


def release(name, **replaced):
    """A release folder laid out as the package has it, with `replaced` files (keyword:
    the file's name without extension) taken from elsewhere."""
    folder = pathlib.Path(ARGS["work"]) / name
    shutil.rmtree(folder, ignore_errors=True)
    (folder / "check").mkdir(parents=True)
    files = {"Calvorin": (ARGS["module"], "Calvorin.dll"), "Brisvane": (ARGS["notifier"], "Brisvane.exe"),
             "crash_check": (ARGS["crash-check"], "check/crash-check.exe"),
             "Client": (ARGS["client"], "check/Client.exe"), "nvwgf2umx": (ARGS["fault-module"], "check/nvwgf2umx.dll")}
    for key, (source, target) in files.items():
        if key in replaced and replaced[key] is None:
            continue
        shutil.copy(replaced.get(key, source), folder / target)
    return folder


def prefix_path(windows):
    """A C:\\ path of the Wine prefix as a Unix path."""
    prefix = pathlib.Path(os.environ.get("WINEPREFIX", pathlib.Path(ARGS["crash-check"]).parents[1] / "wineprefix"))
    return prefix / "drive_c" / windows[3:].replace("\\", "/")


def registered():
    """The value names under the helper key, as Wine's reg.exe lists them."""
    out = subprocess.run([ARGS["wine-run"], "reg", "query", HELPER_KEY, "/reg:64"], capture_output=True,
                         stdin=subprocess.DEVNULL, timeout=120).stdout.decode("utf-8", "replace")
    return [line.split("REG_")[0].strip() for line in out.splitlines() if "REG_DWORD" in line]


def run(folder, *options):
    """crash-check.exe of a release folder with `options`, from a report folder of its own;
    gives (exit code, console text, report or None, stand-in results)."""
    out = folder / "out"
    out.mkdir()
    host = folder / "wer-host.out"
    env = dict(os.environ, WER_HOST_OPTIONS="--require-listed", WER_HOST_OUTPUT=windows_path(host))
    with (folder / "console.txt").open("wb") as console:
        code = subprocess.run([ARGS["wine-run"], str(folder / "check" / "crash-check.exe"), *options], cwd=out,
                              env=env, stdout=console, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                              timeout=600).returncode
    text = (folder / "console.txt").read_text(encoding="utf-8", errors="replace")
    print(text)
    reports = sorted(out.glob("crash-check-*.json"))
    report = json.loads(reports[0].read_text(encoding="utf-8")) if reports else None
    check(len(reports) == 1, f"{folder.name}: one report, got {[r.name for r in reports]}")
    if report:
        work = prefix_path(report["work"]) if report["work"] else None
        check(work is None or not work.exists(), f"{folder.name}: scratch folder {work} removed")
        left = [p.name for p in out.iterdir() if p not in reports and not p.name.endswith("-dumps")]
        check(left == [], f"{folder.name}: nothing but the report in the report folder, got {left}")
    check(not any("crash-check-" in name for name in registered()),
          f"{folder.name}: no registration left, got {registered()}")
    results = key_values(host.read_text(encoding="utf-8", errors="replace")) if host.exists() else {}
    return code, text, report, results


def verdicts(checks):
    return {c["name"]: (c["verdict"], c["detail"]) for c in checks}


def run_as_shipped():
    folder = release("as-shipped")
    code, text, report, host = run(folder, "--rounds=2", "--keep")
    check(code == 0 and report and report["result"] == "pass", f"as shipped: exit 0 and a pass, got {code}")
    if not report:
        return
    pre = verdicts(report["preflight"])
    check({n for n, (v, _) in pre.items() if v == "WARN"} == WINE_WARNINGS and
          all(v == "PASS" for n, (v, _) in pre.items() if n not in WINE_WARNINGS),
          f"as shipped: the preflight warns of Wine's answers only, got {pre}")
    check(host.get("registered.listed") == "1", f"as shipped: the stand-in found the module listed, got {host}")
    check([c["label"].split()[0] for c in report["crashes"]] == ["access", "access", "fail-fast"] * 2,
          "as shipped: two rounds of the three crashes")
    for crash in report["crashes"]:
        found = verdicts(crash["checks"])
        if crash["label"].startswith("fail-fast"):
            # Wine ends a fail-fast without its debugger: the one crash it cannot show.
            check(list(found) == ["dump committed"] and found["dump committed"][0] == "WARN"
                  and "0xC0000409" in found["dump committed"][1], f"as shipped: fail-fast under Wine {found}")
            continue
        check(found.get("streams of the dump type", ("",))[0] == "WARN"
              and WINE_STREAMS in found["streams of the dump type"][1]
              and all(v == "PASS" for n, (v, _) in found.items() if n != "streams of the dump type"),
              f"as shipped: {crash['label']}: every check passes, got {found}")
        expect_dump_as_read(crash)
    figures = report["figures"]
    for name in FIGURES:
        median = figures[name]["median"]
        check(median is not None and median > 0, f"as shipped: figure {name} measured, got {figures[name]}")
    check(len(figures["capture_ms"]["values"]) == 2 and len(figures["crash_to_dump_ms"]["values"]) == 4,
          f"as shipped: two measured rounds and four dumps, got {figures}")
    printed = text[text.find("\nFigures ("):text.find("\nResult:")].splitlines()[2:]
    check(len(printed) == 7 and all(line.endswith((")", " bytes")) for line in printed),
          f"as shipped: the console prints every figure, got {printed}")


def expect_dump_as_read(crash):
    """What crash-check said of a kept dump, against obj2yaml's reading of it."""
    dump, report = (pathlib.Path(p[2:].replace("\\", "/")) for p in (crash["dump"], crash["report"]))
    if not check(crash["dump"].startswith("Z:") and dump.exists() and report.exists(),
                 f"kept: {crash['dump']} and its report lie beside the report"):
        return
    streams, _ = oracle.read(ARGS["obj2yaml"], dump)
    comment = bytes.fromhex(str(streams["CommentA"]["Content"]))
    code = streams["Exception"]["Exception Record"]["Exception Code"]
    check(comment == report.read_bytes() + b"\0", f"kept: {dump.name}: the comment stream is the .txt and a NUL")
    check(code == 0xC0000005 and crash["dump_bytes"] == dump.stat().st_size,
          f"kept: {dump.name}: obj2yaml reads code {code:#x}, size {dump.stat().st_size}")


def run_tampered():
    """Each broken file makes the check fail, for its own reason."""
    cases = (
        ("module-never-claims", {"Calvorin": ARGS["unclaiming"]},
         [("measure", "module called for a crash", "claimed 0, and committed no dump"),
          ("crash", "dump committed", "no dump was committed: the client ended with 0xC0000005")]),
        ("dump-never-committed", {"Calvorin": ARGS["uncommitted"]},
         [("measure", "module called for a crash", "claimed 1, and committed no dump"),
          ("crash", "dump committed", ".dmp.tmp (never renamed)")]),
        ("box-says-otherwise", {"Brisvane": ARGS["other-box"]},
         [("crash", "notifier's box", 'the box says "Something else went wrong."')]),
    )
    for name, replaced, expected in cases:
        code, _, report, _ = run(release(name, **replaced), "--rounds=1", "--kinds=driver")
        check(code == 1 and report and report["result"] == "fail", f"{name}: exit 1 and a fail, got {code}")
        if not report:
            continue
        failed = [(part, c["name"], c["detail"]) for part, checks in
                  (("measure", report["measure"]), *(("crash", c["checks"]) for c in report["crashes"]))
                  for c in checks if c["verdict"] == "FAIL"]
        check(len(failed) == len(expected) and all(
            any(p == part and n == what and reason in d for p, n, d in failed) for part, what, reason in expected),
              f"{name}: fails with {expected}, got {failed}")

    # A release without its notifier: nothing can be checked, and nothing is touched.
    code, text, report, _ = run(release("no-notifier", Brisvane=None))
    check(code == 2 and report and report["result"] == "could not run" and not report["crashes"]
          and "no Brisvane.exe in" in report["could_not_run"], f"no-notifier: exit 2 before any crash, got {code}")


def main():
    parse_args(sys.argv[1:])
    if not os.environ.get("DISPLAY"):
        print("SKIPPED: the notifier's box needs an X display (scripts/test.sh starts Xvfb)")
        return 77
    shutil.rmtree(ARGS["work"], ignore_errors=True)
    # Wine's services outlive the program that starts them; started here, they hold no output of ours.
    subprocess.run([ARGS["wine-run"], "cmd", "/c", "exit"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   stdin=subprocess.DEVNULL, timeout=120)
    run_as_shipped()
    run_tampered()
    print(f"crash_check: {'FAILED' if FAILURES else 'passed'} ({len(FAILURES)} failures)")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
