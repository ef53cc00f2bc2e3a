#!/usr/bin/env python3
"""Mutation run (a measurement, not a test): applies each one-edit fault of a list, one at
a time, to a scratch copy of the checkout, rebuilds the host preset there and runs its
tests, and says of each fault whether a test failed (killed) or none did (survived).

The scratch copy lives in build/mutation/src with its own build folders beside the
sources (build/mutation/src/build/host, .../host-asan). It is brought up to date with the
checkout at the start of every run, copying only what changed, so after the first run a
fault costs an incremental rebuild of the file it touches and the tests. The checkout's
own files are never written.

A fault whose original text is not found exactly once in its file is "stale": the code
moved on and the list needs mending. The list format is described at the top of
scripts/mutations.txt.

Usage: scripts/mutate.py [--list=FILE] [--only=TEXT] [--check]
  --only=TEXT  only the faults whose file or description contains TEXT (repeatable)
  --check      only check that every fault applies (no build, no tests)
Exit status 0 when every fault applied and was killed, 1 otherwise, 2 for a usage error.
"""
import dataclasses
import filecmp
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time

repo = pathlib.Path(__file__).resolve().parent.parent
scratch = repo / "build" / "mutation" / "src"
jobs = str(os.cpu_count() or 2)
# A fault can turn a loop into an endless one; the slowest host test takes about 15 s.
test_timeout = "300"


@dataclasses.dataclass
class Fault:
    line: int          # of its header in the list
    path: str
    description: str
    original: str
    replacement: str
    asan: bool         # memory-only: the sanitized build's tests run as well


def parse_list(path):
    """The faults of a list file; exits with the line of the first malformed entry."""
    faults, current = [], None

    def finish():
        if current is None:
            return
        if not current["original"]:
            sys.exit(f"{path}:{current['line']}: a fault without original text ('- ' lines)")
        faults.append(Fault(current["line"], current["path"], current["description"],
                            "\n".join(current["original"]), "\n".join(current["replacement"]),
                            current["asan"]))

    for number, text in enumerate(path.read_text().splitlines(), start=1):
        if text.startswith("@"):
            finish()
            match = re.fullmatch(r"@(asan)?\s+(\S+):\s+(.+)", text)
            if not match:
                sys.exit(f"{path}:{number}: expected '@ FILE: DESCRIPTION' or '@asan FILE: DESCRIPTION'")
            current = {"line": number, "asan": bool(match[1]), "path": match[2],
                       "description": match[3].strip(), "original": [], "replacement": []}
        elif text.startswith(("-", "+")):
            if current is None:
                sys.exit(f"{path}:{number}: a '-' or '+' line before any '@' line")
            body = text[2:] if text[1:2] == " " else text[1:]
            current["original" if text[0] == "-" else "replacement"].append(body)
        elif text.strip() and not text.startswith("#"):
            sys.exit(f"{path}:{number}: expected '@', '-', '+', '#' or an empty line")
    finish()
    return faults


def stale_reason(fault, root):
    """Why the fault cannot be applied in the tree at `root`, or None."""
    target = root / fault.path
    if not target.is_file():
        return f"no file {fault.path}"
    count = target.read_text().count(fault.original)
    if count != 1:
        return f"original text found {count} times in {fault.path}"
    if fault.original == fault.replacement:
        return "replacement equals the original"
    return None


def tracked_files():
    listing = subprocess.run(["git", "-C", str(repo), "ls-files", "-z", "--cached", "--others",
                              "--exclude-standard"], check=True, capture_output=True).stdout
    return {name for name in listing.decode().split("\0") if name and (repo / name).is_file()}


def sync_scratch():
    """The checkout's files into the scratch copy. Only a file whose bytes differ is
    written (with a new time stamp, so the build sees it); files the checkout no longer
    has go. The scratch copy's build folders stay."""
    wanted = tracked_files()
    scratch.mkdir(parents=True, exist_ok=True)
    for name in sorted(wanted):
        source, dest = repo / name, scratch / name
        if dest.is_file() and filecmp.cmp(source, dest, shallow=False):
            continue
        dest.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, dest)
        shutil.copymode(source, dest)
    for dirpath, dirnames, filenames in os.walk(scratch):
        relative = pathlib.Path(dirpath).relative_to(scratch)
        if relative == pathlib.Path("."):
            dirnames[:] = [d for d in dirnames if d not in ("build", ".git")]
        for filename in filenames:
            name = (relative / filename).as_posix()
            if name not in wanted:
                (scratch / name).unlink()


def run(command, log):
    """True when `command` (run in the scratch copy) succeeded; its output is added to `log`."""
    with open(log, "a") as out:
        return subprocess.run(command, cwd=scratch, stdout=out, stderr=subprocess.STDOUT).returncode == 0


def configure(preset, log):
    return run(["cmake", "--preset", preset], log)


def build(preset, log):
    # CMake configures again by itself when a CMakeLists.txt changed.
    return run(["cmake", "--build", "--preset", preset, "-j", jobs], log)


def failed_tests(log):
    """'test (Suite.Case, ...)' for the CTest tests that failed, from a CTest log; a test
    that crashed or ran out of time says so instead of naming cases."""
    text = log.read_text(errors="replace")
    tests = [name if status == "Failed" else f"{name} ({status.lower()})"
             for name, status in re.findall(r"^\s*\d+ - (\S+) \(([^)]+)\)", text, re.M)]
    cases = list(dict.fromkeys(re.findall(r"^\[  FAILED  \] ([\w/.]+)", text, re.M)))
    if not tests:
        return "a test run that did not finish"
    named = ", ".join(tests)
    return named + (f" ({', '.join(cases[:3])}{', ...' if len(cases) > 3 else ''})" if cases else "")


def run_tests(preset, log):
    """None when every test passed, else which failed. The GoogleTest programs (a second
    in all) run first; the scripted tests (tens of seconds) only when those all pass."""
    for selection in (["-R", r"_tests?$"], ["-E", r"_tests?$"]):
        if not run(["ctest", "--preset", preset, "-j", jobs, "--timeout", test_timeout,
                    "--stop-on-failure", *selection], log):
            return failed_tests(log)
    return None


def apply(fault, text):
    target = scratch / fault.path
    target.write_text(text.replace(fault.original, fault.replacement, 1))


def main():
    options, only = {}, []
    for argument in sys.argv[1:]:
        name, _, value = argument.partition("=")
        if name not in ("--list", "--only", "--check"):
            print(__doc__.split("Usage: ")[1], file=sys.stderr)
            return 2
        if name == "--only":
            only.append(value)
        else:
            options[name] = value
    list_path = pathlib.Path(options.get("--list", repo / "scripts" / "mutations.txt"))
    faults = parse_list(list_path)
    if only:
        faults = [f for f in faults if any(o in f.path or o in f.description for o in only)]
    if not faults:
        print("no fault selected", file=sys.stderr)
        return 2

    if "--check" in options:
        stale = [(f, stale_reason(f, repo)) for f in faults]
        for fault, reason in stale:
            if reason:
                print(f"stale     {list_path.name}:{fault.line} {fault.path}: {fault.description}: {reason}")
        count = sum(1 for _, reason in stale if reason)
        print(f"{len(faults)} faults, {count} stale")
        return 1 if count else 0

    started = time.monotonic()
    logs = repo / "build" / "mutation" / "logs"
    logs.mkdir(parents=True, exist_ok=True)
    sync_scratch()
    presets = ["host"] + (["host-asan"] if any(f.asan for f in faults) else [])
    for preset in presets:
        # The unmutated tree must build and pass, or no fault's outcome means anything.
        print(f"Building and testing the unmutated tree ({preset}) in {scratch} ...", flush=True)
        log = logs / f"baseline-{preset}.log"
        log.unlink(missing_ok=True)
        if not (configure(preset, log) and build(preset, log)):
            print(f"The unmutated tree does not build: {log}", file=sys.stderr)
            return 1
        failures = run_tests(preset, log)
        if failures:
            print(f"The unmutated tree fails {failures}: {log}", file=sys.stderr)
            return 1

    outcomes = {"killed": 0, "survived": 0, "stale": 0, "does not build": 0}
    survivors = []
    width = len(str(len(faults)))
    for index, fault in enumerate(faults, start=1):
        fault_started = time.monotonic()
        label = f"{fault.path}: {fault.description}"
        reason = stale_reason(fault, scratch)
        detail = reason or ""
        if reason:
            outcome = "stale"
        else:
            target = scratch / fault.path
            original = target.read_text()
            log = logs / f"fault-{index:03d}.log"
            log.unlink(missing_ok=True)
            try:
                apply(fault, original)
                outcome = "survived"
                for preset in (["host", "host-asan"] if fault.asan else ["host"]):
                    if not build(preset, log):
                        outcome, detail = "does not build", str(log)
                        break
                    failures = run_tests(preset, log)
                    if failures:
                        outcome, detail = "killed", f"by {failures}" + (" under ASan" if preset != "host" else "")
                        break
            finally:
                # Written back with a new time stamp, so the next build compiles it again.
                target.write_text(original)
        if outcome == "survived":
            survivors.append(fault)
        outcomes[outcome] += 1
        seconds = time.monotonic() - fault_started
        print(f"[{index:{width}}/{len(faults)}] {outcome.upper() if outcome != 'killed' else outcome:<14} "
              f"{label}" + (f"  <- {detail}" if detail else "") + f"  ({seconds:.0f} s)", flush=True)

    applied = outcomes["killed"] + outcomes["survived"]
    rate = 100.0 * outcomes["killed"] / applied if applied else 0.0
    minutes, seconds = divmod(int(time.monotonic() - started), 60)
    print()
    print(f"{len(faults)} faults: {outcomes['killed']} killed, {outcomes['survived']} survived, "
          f"{outcomes['stale']} stale, {outcomes['does not build']} did not build; "
          f"kill rate {rate:.1f}% of {applied} applied; {minutes}m{seconds:02d}s")
    for fault in survivors:
        print(f"  survived: {list_path.name}:{fault.line} {fault.path}: {fault.description}")
    return 0 if applied == len(faults) and not survivors else 1


if __name__ == "__main__":
    sys.exit(main())
