#!/usr/bin/env python3
"""Benchmark of crash-triage (not a test): generates a set of dumps of our capture's shape
(varied module counts and report sizes, some with gigabytes of sparse full memory),
times crash-triage's bucket table over them and obj2yaml over the same files, and
prints dumps per second, peak memory and the ratio; then adds each set to a fresh crash
history (--db). The store at a million dumps: build/host/tests/triage/history_bench.

Generated dumps carry no thread stacks. When dumps that the real capture wrote under Wine
are at hand (`ctest --preset windows -R triage_road` leaves them in
build/windows/tests/triage/work), a second set of as many copies of those is timed too: there
crash-triage also walks (scans) the crashing thread's stack of every dump.

A third set holds the dumps real Windows wrote (tests/triage/public, x86 and x64, x86
stacks walked by the frame-pointer chain) together with the Wine dumps: there crash-triage
is timed against Breakpad's minidump_stackwalk, one process per dump for both, and one
crash-triage run over a folder against a loop of minidump_stackwalk over the same files.

Usage: scripts/bench-triage.py [--dumps=1000] [--large=10] [--triage=build/host/triage/crash-triage]
                               [--real=build/windows/tests/triage/work]
                               [--stackwalk=/opt/breakpad-minidump-0.26.0/minidump_stackwalk]
"""
import os
import pathlib
import random
import shutil
import subprocess
import sys
import time

repo = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(repo / "tests" / "triage"))
import dumpgen  # noqa: E402

FAULTS = [("nvwgf2umx.dll", 0x1382), ("nvwgf2umx.dll", 0x2A90), ("GameOverlayRenderer64.dll", 0x5A10),
          ("d3d9.dll", 0x2F44), ("AudioMixer64.dll", 0x88), ("RTSSHooks64.dll", 0x7F0), None]


def run(command, cpu=False):
    """(seconds, peak RSS in KiB) of one process; with `cpu`, (seconds, processor seconds,
    peak RSS): on two cores shared with other work the processor time says more."""
    start = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    if os.waitstatus_to_exitcode(status) not in (0, 1):
        raise SystemExit(f"{command[0]} failed: {status}")
    if cpu:
        return time.monotonic() - start, usage.ru_utime + usage.ru_stime, usage.ru_maxrss
    return time.monotonic() - start, usage.ru_maxrss


def main():
    options = dict(a.lstrip("-").split("=", 1) for a in sys.argv[1:])
    count = int(options.get("dumps", 1000))
    large = int(options.get("large", 10))
    triage = options.get("triage", str(repo / "build/host/triage/crash-triage"))
    work = repo / "build" / "bench-triage"
    shutil.rmtree(work, ignore_errors=True)
    small_dir, large_dir = work / "dumps" / "small", work / "dumps" / "large"
    small_dir.mkdir(parents=True)
    large_dir.mkdir(parents=True)
    rng = random.Random(7)
    start = 1764547200
    for i in range(count):
        large_one = i < large
        folder = large_dir if large_one else small_dir
        name = f"Client_10.2.0.{7 + i % 3}_2025-12-{1 + i % 28:02d}_{i % 24:02d}-{i % 60:02d}-{i * 7 % 60:02d}_b{i:04d}_ENEU.dmp"
        memory = [(0x10000 + k * (1 << 32), (1 << 30) + rng.randrange(1 << 30)) for k in range(1 + i % 4)] if large_one else ()
        dumpgen.capture_like(folder / name, time_stamp=start + i * 2400, fault=rng.choice(FAULTS),
                             extra_modules=rng.randrange(0, 250), memory=memory,
                             client_text=b"scene=harbour\r\n" * rng.randrange(0, 400),
                             driver_version=(31, 0, 15, rng.choice((5222, 4601))))
    files = sorted((work / "dumps").rglob("*.dmp"))
    disk = sum(f.stat().st_blocks * 512 for f in files)
    logical = sum(f.stat().st_size for f in files)
    print(f"{len(files)} dumps: {logical / 2**30:.1f} GiB as files ({disk / 2**20:.1f} MiB on disk, the large ones sparse)")

    rounds = [run([triage, str(work / "dumps")]) for _ in range(3)]
    best = min(t for t, _ in rounds)
    peak_all = max(r for _, r in rounds)
    _, peak_small10 = run([triage, *map(str, sorted(small_dir.iterdir())[:10])])
    _, peak_large = run([triage, str(large_dir)])
    print(f"crash-triage (bucket table): {best:.3f} s best of 3 = {len(files) / best:,.0f} dumps/s")
    print(f"  peak RSS: {peak_small10 / 1024:.1f} MiB for 10 small dumps, {peak_large / 1024:.1f} MiB for the "
          f"{large} large ones ({sum(f.stat().st_size for f in large_dir.iterdir()) / 2**30:.1f} GiB), "
          f"{peak_all / 1024:.1f} MiB for all {len(files)}")

    started = time.monotonic()
    peak_obj2yaml = 0
    for f in files:
        _, rss = run(["obj2yaml", str(f)])
        peak_obj2yaml = max(peak_obj2yaml, rss)
    seconds = time.monotonic() - started
    print(f"obj2yaml, one run per file: {seconds:.2f} s = {len(files) / seconds:,.0f} dumps/s, "
          f"peak RSS {peak_obj2yaml / 1024:.1f} MiB")
    print(f"ratio: crash-triage is {seconds / best:.0f} times faster than obj2yaml on the same files")
    into_store(triage, small_dir, work, "generated dumps (the small ones)")

    real = pathlib.Path(options.get("real", repo / "build/windows/tests/triage/work"))
    captured = sorted(p for p in real.rglob("Client_*.dmp") if p.stat().st_size > 4096) if real.is_dir() else []
    against_breakpad(triage, pathlib.Path(options.get("stackwalk", "/opt/breakpad-minidump-0.26.0/minidump_stackwalk")),
                     sorted((repo / "tests/triage/public").glob("*.dmp")) + captured, work / "dumps-breakpad", count)
    if not captured:
        print(f"no dumps of the real capture in {real}: run ctest --preset windows -R triage_road for the second set")
        return
    real_dir = work / "dumps-real"
    real_dir.mkdir()
    for i in range(count):
        # Eight bytes more make each copy a dump of its own for the crash history, and
        # change nothing the reader reads.
        (real_dir / f"c{i:04d}.dmp").write_bytes(captured[i % len(captured)].read_bytes() + i.to_bytes(8, "little"))
    rounds = [run([triage, str(real_dir)]) for _ in range(3)]
    best_real = min(t for t, _ in rounds)
    print(f"crash-triage over {count} copies of {len(captured)} dumps the capture wrote under Wine "
          f"(stacks scanned): {best_real:.3f} s best of 3 = {count / best_real:,.0f} dumps/s, "
          f"peak RSS {max(r for _, r in rounds) / 1024:.1f} MiB")
    started = time.monotonic()
    for f in sorted(real_dir.iterdir()):
        run(["obj2yaml", str(f)])
    seconds = time.monotonic() - started
    print(f"obj2yaml over the same copies: {seconds:.2f} s = {count / seconds:,.0f} dumps/s; "
          f"ratio {seconds / best_real:.0f}")
    into_store(triage, real_dir, work, "dumps of the real capture (stacks scanned)")


def into_store(triage, folder, work, what):
    """Adding a folder of new dumps to a fresh crash history (best of three, each into a
    new store), then reading the same folder again into it, when every dump is known."""
    dumps = len(list(folder.iterdir()))
    db = work / "history.db"
    times = []
    for _ in range(3):
        for f in work.glob("history.db*"):
            f.unlink()
        times.append(run([triage, "--db", str(db), str(folder)], cpu=True))
    best, cpu, _ = min(times)
    plain = min(run([triage, str(folder)], cpu=True) for _ in range(3))
    again, _, rss = run([triage, "--db", str(db), str(folder)], cpu=True)
    print(f"crash-triage --db, {dumps} new {what}: {best:.3f} s best of 3 = {dumps / best:,.0f} dumps/s added "
          f"({cpu:.3f} s of processor time = {dumps / cpu:,.0f} dumps per processor second; without --db "
          f"{plain[1]:.3f} s), peak RSS {max(r for _, _, r in times) / 1024:.1f} MiB; the same folder again (all "
          f"known) {again:.3f} s; "
          f"store {db.stat().st_size / dumps / 1024:.1f} KiB per dump")


def against_breakpad(triage, stackwalk, dumps, folder, count):
    """crash-triage --json against minidump_stackwalk on the same files: one process per
    dump for both (each of `dumps` five times), then a folder of `count` copies in one
    crash-triage run against a loop of minidump_stackwalk over the same copies."""
    if not stackwalk.exists():
        print(f"no {stackwalk}: scripts/install-deps.sh installs it; the set against Breakpad is skipped")
        return
    per_dump = {}
    for name, command in (("crash-triage --json", [triage, "--json"]), ("minidump_stackwalk", [str(stackwalk)])):
        started = time.monotonic()
        for _ in range(5):
            for dump in dumps:
                run([*command, str(dump)])
        per_dump[name] = (time.monotonic() - started) / (5 * len(dumps))
    print(f"one process per dump over {len(dumps)} dumps (real Windows and Wine, x86 and x64): "
          + ", ".join(f"{name} {seconds * 1000:.1f} ms" for name, seconds in per_dump.items())
          + f"; ratio {per_dump['minidump_stackwalk'] / per_dump['crash-triage --json']:.1f}")
    folder.mkdir(parents=True, exist_ok=True)
    for i in range(count):
        shutil.copy(dumps[i % len(dumps)], folder / f"d{i:04d}.dmp")
    best = min(run([triage, "--json", str(folder)])[0] for _ in range(3))
    started = time.monotonic()
    for f in sorted(folder.iterdir()):
        run([str(stackwalk), str(f)])
    loop = time.monotonic() - started
    print(f"a folder of {count} copies: one crash-triage --json run {best:.3f} s best of 3 = {count / best:,.0f} dumps/s; "
          f"a loop of minidump_stackwalk {loop:.2f} s = {count / loop:,.0f} dumps/s; ratio {loop / best:.0f}")


if __name__ == "__main__":
    main()
