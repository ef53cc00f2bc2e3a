#!/usr/bin/env python3
"""crash-triage against real dumps and bad ones.

  inputs  (host)    dumps written by LLVM's yaml2obj (x86 Windows, Linux, macOS) compared
                    with obj2yaml; every kind of bad input, each with its reason, no hang,
                    bounded memory; usage errors; CSV cells a spreadsheet would run; a
                    symbolizer that cannot start.
  public  (host)    minidumps real Windows wrote (tests/triage/public) and the yaml2obj dumps:
                    obj2yaml and Breakpad's minidump_stackwalk agree with crash-triage on each;
                    x86 stacks, 32-bit addresses, thread names, product versions, exception names.
  html    (host)    the page in Debian's chromium: the DOM holds every bucket, a hostile
                    module name stays text, a screenshot lands in the build folder; over a
                    crash history, the chart per client version and the new and regressed
                    buckets marked.
  road    (windows) dumps made under Wine by the real Calvorin.dll through the WER host
                    stand-in, and by System32's MiniDumpWriteDump alone; every exception,
                    module and comment field compared with obj2yaml; the Windows build's
                    --json under Wine byte for byte the Linux build's; Breakpad's walker agrees.

Usage: triage_test.py GROUP --key=value...   (CMake passes the paths; see CMakeLists.txt)
"""
import csv
import io
import json
import os
import pathlib
import resource
import shutil
import struct
import subprocess
import sys
import tempfile
import time

sys.path[:0] = [str(pathlib.Path(__file__).parent), str(pathlib.Path(__file__).parents[1])]
import breakpad  # noqa: E402
import dumpgen  # noqa: E402
import oracle  # noqa: E402
from wine_harness import (ARGS, FAILURES, check, crash_at_start, game_folder, parse_args, wine,  # noqa: E402
                          windows_path)


def triage(*args, program=None, cwd=None, timeout=60):
    run = subprocess.run([program or ARGS["triage"], *map(str, args)], capture_output=True, cwd=cwd,
                         timeout=timeout, stdin=subprocess.DEVNULL)
    return run.returncode, run.stdout.decode("utf-8", "replace"), run.stderr.decode("utf-8", "replace")


def rows_of(stdout):
    return [json.loads(line) for line in stdout.splitlines() if line.strip()]


def fresh(name):
    work = pathlib.Path(ARGS["work"]) / name
    if work.exists():
        subprocess.run(["chmod", "-R", "u+rwx", str(work)], check=False)
        shutil.rmtree(work)
    work.mkdir(parents=True)
    return work


def compare_with_obj2yaml(rows, folder):
    for row in rows:
        if row["readable"]:
            for line in oracle.differences(row, oracle.read(ARGS["obj2yaml"], folder / row["file"])[0]):
                check(False, f"{row['file']}: {line}")


def compare_with_breakpad(paths, program=None, cwd=None, binaries=None):
    """Breakpad's minidump_stackwalk against crash-triage (no binaries, no symbols) on every
    readable dump under `paths`: exception, crashing thread, modules and every thread's
    frames agree, or differ only as breakpad.KNOWN names. The module files in `binaries`
    (a folder) tell the test where calls return. Gives the rows."""
    code, out, err = triage("--json", "--all-threads", *paths, program=program, cwd=cwd)
    rows = [r for r in rows_of(out) if r["readable"]]
    files = {f.name.lower(): f for f in pathlib.Path(binaries).rglob("*") if f.suffix.lower() in (".dll", ".exe")} \
        if binaries else {}
    agreed, named = 0, set()
    for row in rows:
        theirs = breakpad.read(ARGS["stackwalk"], pathlib.Path(cwd or ".") / row["file"])
        problems, why, frames = breakpad.differences(row, theirs, files)
        for line in problems:
            check(False, f"{row['file']}: Breakpad: {line}")
        agreed += frames
        named |= why
    print(f"Breakpad's minidump_stackwalk: {len(rows)} dumps compared, {agreed} frames agree; "
          f"named differences: {', '.join(sorted(named)) or 'none'}")
    for key in sorted(named):
        print(f"  {key}: {breakpad.KNOWN[key]}")
    return rows


# --- inputs -------------------------------------------------------------------------

GENERIC_DUMPS = {
    # x86 Windows: a read of address 0x10 inside a module of a 32-bit game.
    "x86-windows.dmp": """--- !minidump
Streams:
  - Type: SystemInfo
    Processor Arch: X86
    Platform ID: Win32NT
    Major Version: 10
    Build Number: 19045
    CSD Version: ''
    CPU:
      Vendor ID: GenuineIntel
      Version Info: 0
      Feature Info: 0
  - Type: ModuleList
    Modules:
      - Base of Image: 0x00400000
        Size of Image: 0x00100000
        Module Name: 'C:\\Games\\Old\\Client.exe'
        Version Info:
          Signature: 0xFEEF04BD
          File Version High: 0x00090001
          File Version Low: 0x00000002
        CodeView Record: ''
      - Base of Image: 0x10000000
        Size of Image: 0x00200000
        Module Name: 'C:\\Windows\\SysWOW64\\nvd3dum.dll'
        CodeView Record: ''
  - Type: Exception
    Thread ID: 0x1A4
    Exception Record:
      Exception Code: 0xC0000005
      Exception Address: 0x10001234
      Number of Parameters: 2
      Parameter 0: 0x0
      Parameter 1: 0x10
    Thread Context: '00'
...
""",
    # Linux (as Crashpad and Breakpad write): the signal number is the exception code.
    "linux-amd64.dmp": """--- !minidump
Streams:
  - Type: SystemInfo
    Processor Arch: AMD64
    Platform ID: Linux
    CSD Version: 'Linux 6.1.0-18-amd64 #1 SMP'
    CPU:
      Vendor ID: GenuineIntel
      Version Info: 0
      Feature Info: 0
  - Type: ModuleList
    Modules:
      - Base of Image: 0x555555554000
        Size of Image: 0x20000
        Module Name: '/opt/game/bin/client'
        CodeView Record: '4C70E44200'
  - Type: Exception
    Thread ID: 0x3039
    Exception Record:
      Exception Code: 0xB
      Exception Address: 0x555555556010
    Thread Context: '00'
  - Type: CommentA
    Content: '67616D652E6275696C643D6E696768746C790A00'
...
""",
    # macOS on arm64, no exception stream: a dump taken of a hung process.
    "macos-arm64.dmp": """--- !minidump
Streams:
  - Type: SystemInfo
    Processor Arch: ARM64
    Platform ID: MacOSX
    Major Version: 14
    Minor Version: 4
    CSD Version: ''
  - Type: ModuleList
    Modules:
      - Base of Image: 0x100000000
        Size of Image: 0x4000
        Module Name: '/Applications/Game.app/Contents/MacOS/Game'
        CodeView Record: ''
...
""",
}


def write_bad_inputs(folder):
    """Each bad input, with a part of the one-line reason it must get."""
    good = dumpgen.Dump(2, 1764000000)
    good.system_info()
    good.modules([("C:\\Game\\Client.exe", 0x140000000, 0x1000, (10, 2, 0, 7))])
    base = good.bytes()
    directory_rva = struct.unpack_from("<I", base, 12)[0]

    def patched(offset, fmt, *values):
        data = bytearray(base)
        struct.pack_into(fmt, data, offset, *values)
        return bytes(data)

    module_stream_rva = struct.unpack_from("<I", base, directory_rva + 12 + 8)[0]
    name_rva = struct.unpack_from("<I", base, module_stream_rva + 4 + 20)[0]
    cases = {
        "empty.dmp": (b"", "empty file"),
        "header-only-part.dmp": (base[:20], "too short for a minidump header"),
        "truncated.dmp": (base[: len(base) - 40], "runs past the end of the file"),
        "wrong-signature.dmp": (b"MDMX" + base[4:], "not a minidump"),
        "notes.dmp": (b"Player says: the game crashed when I opened the map.\n", "not a minidump"),
        "png-renamed.dmp": (b"\x89PNG\r\n\x1a\n" + b"\0" * 64, "not a minidump"),
        "directory-past-end.dmp": (patched(8, "<II", 1000, len(base) - 12), "stream directory"),
        "stream-past-end.dmp": (patched(directory_rva + 4, "<I", 0x7FFFFFFF), "runs past the end of the file"),
        "offset-overflow.dmp": (patched(directory_rva + 4, "<II", 0x100, 0xFFFFFFF0), "runs past the end of the file"),
        "absurd-stream-count.dmp": (patched(8, "<I", 0xFFFFFFFF), "absurd stream count"),
        "absurd-module-count.dmp": (patched(module_stream_rva, "<I", 0x7FFFFFFF), "module list: absurd count"),
        "overlapping-streams.dmp": (patched(directory_rva + 12 + 8, "<I", struct.unpack_from("<I", base, directory_rva + 8)[0]),
                                    "overlap"),
        "name-past-end.dmp": (patched(module_stream_rva + 4 + 20, "<I", len(base) + 100), "lies past the end"),
        "name-absurd-length.dmp": (patched(name_rva, "<I", 0xFFFFFFF0), "claims"),
    }
    # Memory64 sizes that wrap around 2^64 once added up.
    wrap = dumpgen.Dump(1)
    wrap.memory64([(0, 1 << 63), (1 << 63, 1 << 63)])
    cases["memory-sizes-overflow.dmp"] = (wrap.bytes(), "sizes overflow")
    for name, (data, _) in cases.items():
        (folder / name).write_bytes(data)
    # A full-memory dump cut short in its memory: every stream whole, the bytes not.
    cut = folder / "cut-in-memory.dmp"
    dumpgen.capture_like(cut, time_stamp=1764000000, memory=[(0x10000, 1 << 20)])
    os.truncate(cut, cut.stat().st_size - 4096)
    cases["cut-in-memory.dmp"] = (None, "cut short")
    # Things that are not files to read.
    (folder / "folder-named.dmp").mkdir()
    dumpgen.capture_like(folder / "folder-named.dmp" / "inside.dmp", time_stamp=1764000000)
    cases["folder-named.dmp"] = (None, "a folder, not a dump file")
    os.mkfifo(folder / "pipe.dmp")
    cases["pipe.dmp"] = (None, "not a regular file")
    (folder / "gone.dmp").symlink_to(folder / "no-such-file")
    cases["gone.dmp"] = (None, "a link to nothing")
    (folder / "loop").mkdir()
    (folder / "loop" / "again").symlink_to("..")
    cases["again"] = (None, "not searched again")
    if os.geteuid() != 0:
        (folder / "locked.dmp").write_bytes(base)
        (folder / "locked.dmp").chmod(0)
        cases["locked.dmp"] = (None, "cannot open")
    else:
        print("note: running as root, so a file without read permission would still be read; "
              "the pipe and the dangling link stand for unreadable entries")
    return {name: reason for name, (_, reason) in cases.items()}


def generic_dumps(work):
    """The folder `work`/generic with GENERIC_DUMPS written by yaml2obj."""
    generic = work / "generic"
    generic.mkdir()
    for name, text in GENERIC_DUMPS.items():
        subprocess.run([ARGS["yaml2obj"], "-o", str(generic / name)], input=text.encode(), check=True)
    return generic


def run_inputs():
    work = fresh("inputs")
    generic_dumps(work)
    code, out, err = triage("--json", "generic", cwd=work)
    rows = {pathlib.Path(r["file"]).name: r for r in rows_of(out)}
    check(code == 0 and len(rows) == 3 and all(r["readable"] for r in rows.values()),
          f"generic dumps read (exit {code}, {err!r}, {rows})")
    compare_with_obj2yaml(rows.values(), work)
    x86 = rows.get("x86-windows.dmp", {})
    check(x86.get("exception", {}).get("access") == "read" and x86.get("client_version") == "9.1.0.2"
          and x86.get("fault") == {"module": "nvd3dum.dll", "offset": "0x1234", "module_version": None,
                                   "module_product_version": None}
          and x86.get("bucket") == "0xC0000005 nvd3dum.dll+0x1234", f"x86 Windows dump: {x86}")
    linux = rows.get("linux-amd64.dmp", {})
    check(linux.get("exception", {}).get("name") == "SIGSEGV" and linux.get("advice") is None
          and linux.get("report", {}).get("fields") == {"game.build": "nightly"}, f"Linux dump: {linux}")
    mac = rows.get("macos-arm64.dmp", {})
    check(mac.get("system") == {"os": "macos", "os_version": "14.4.0", "arch": "arm64"}
          and mac.get("exception") is None and mac.get("bucket") == "no exception", f"macOS dump: {mac}")

    # Context records one byte shorter than the registers the walker reads, with more of
    # the file after them: no stack, rather than registers made of the bytes that follow
    # (thread 7's from the exception's record, thread 8's from its own).
    short = dumpgen.Dump(4)
    short.system_info()
    short.threads([(7, 0x21E000, b"\xAA" * 256), (8, 0x31E000, b"\xAA" * 256)], context_size=0xFF)
    short.exception(7, 0xC0000005, 0x140001000, context=b"\x11" * 0xFF)
    short.comment(b"x" * 64)
    short.write(work / "short-context.dmp")
    code, out, err = triage("--json", "--all-threads", "short-context.dmp", cwd=work)
    row = (rows_of(out) or [{}])[0]
    check(code == 0 and row.get("readable") and row.get("stack") == []
          and [t["stack"] for t in row.get("thread_stacks", [])] == [[], []],
          f"contexts too short for the registers give no stacks: {row.get('stack')}, {row.get('thread_stacks')}")

    bad = work / "bad"
    bad.mkdir()
    reasons = write_bad_inputs(bad)
    big = bad / "full-memory-4gib.dmp"
    dumpgen.capture_like(big, time_stamp=1764000000, memory=[(0x10000, 4 << 30)])
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    started = time.monotonic()
    try:
        code, out, err = triage("--json", "bad", cwd=work, timeout=60)
    except subprocess.TimeoutExpired:
        check(False, "bad inputs: crash-triage did not finish within 60 s")
        return
    seconds = time.monotonic() - started
    peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    rows = {pathlib.Path(r["file"]).name: r for r in rows_of(out)}
    check(code == 1, f"bad inputs: exit 1 when some could not be read, got {code} ({err!r})")
    for name, reason in sorted(reasons.items()):
        row = rows.get(name)
        check(row is not None and not row["readable"] and reason in (row["error"] or "")
              and "\n" not in row["error"], f"{name}: one-line reason with {reason!r}, got {row and row['error']!r}")
    for name in ("inside.dmp", "full-memory-4gib.dmp"):
        check(rows.get(name, {}).get("readable") is True, f"{name} is read among the bad ones: {rows.get(name)}")
    print(f"bad inputs: {len(rows)} rows in {seconds:.2f} s, peak RSS {peak_kib} KiB")
    if not ARGS.get("sanitized") and peak_kib > before:
        check(peak_kib < 64 * 1024, f"bad inputs with a 4 GiB dump: peak RSS {peak_kib} KiB, want < 64 MiB")
    code, table, _ = triage("bad", cwd=work)
    check(code == 1 and "could not be read:" in table and "  bad/pipe.dmp: not a regular file" in table,
          f"the table lists the files it could not read: {table[-600:]!r}")

    # CSV: one row per file, a cell that a spreadsheet would run as a formula is defused.
    hostile = work / "hostile"
    hostile.mkdir()
    dumpgen.capture_like(hostile / "formula.dmp", time_stamp=1764000000, fault=("=HYPERLINK(1).dll", 0x10))
    code, out, _ = triage("--csv", "hostile", "generic", cwd=work)
    table = list(csv.reader(io.StringIO(out, newline="")))
    check(code == 0 and len(table) == 5 and table[0][:3] == ["file", "readable", "error"], f"CSV rows: {table}")
    formula = [r for r in table if r[0].endswith("formula.dmp")]
    column = table[0].index("fault_module")
    check(formula and formula[0][column] == "'=HYPERLINK(1).dll", f"CSV defuses a formula: {formula}")

    # A symbolizer that cannot start, or no pipe to it: a reason, and no temporary folder left.
    tools, temp = work / "tools", work / "temp"
    tools.mkdir()
    temp.mkdir()
    (tools / "llvm-symbolizer").write_bytes(b"\0not a program")
    (tools / "llvm-symbolizer").chmod(0o755)
    cases = [("cannot start", None)]
    if not ARGS.get("sanitized"):  # four descriptors leave no room for a pipe, nor for the sanitizers' checks
        cases.append(("cannot make a pipe", 4))
    for reason, files in cases:
        run = subprocess.run([ARGS["triage"], "--symbols", tools, "generic"], cwd=work, capture_output=True, text=True,
                             env={**os.environ, "PATH": str(tools), "TMPDIR": str(temp)}, timeout=60,
                             preexec_fn=files and (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (files, files))))
        check(f"from PDBs: {reason}" in run.stderr and not any(temp.iterdir()),
              f"without a symbolizer: {run.stderr!r}, left {list(temp.iterdir())}")

    for args, want in ((["--json", "--csv", "generic"], 2), ([], 2), (["--bogus", "generic"], 2),
                       (["generic", "no-such-path"], 2), (["--help"], 0)):
        code, out, err = triage(*args, cwd=work)
        check(code == want, f"crash-triage {' '.join(args)}: exit {want}, got {code} ({err.strip()!r})")


# --- public -------------------------------------------------------------------------

PUBLIC = pathlib.Path(__file__).parent / "public"


def run_public():
    generic = generic_dumps(fresh("public"))
    rows = {pathlib.Path(r["file"]).name: r for r in compare_with_breakpad([PUBLIC, generic])}
    check(len(rows) == len(list(PUBLIC.glob("*.dmp"))) + len(GENERIC_DUMPS), f"every dump read: {sorted(rows)}")
    compare_with_obj2yaml(rows.values(), pathlib.Path("."))

    def row(name):
        return rows.get(name, {})

    # x86: the frame-pointer chain is walked and keyed; addresses are 32 bits.
    r = row("minidump_32bit_crash_addr.dmp")
    check(r.get("exception", {}).get("target") == "0x0000000000000045" and [f["trust"] for f in r.get("stack", [])]
          == ["context", "frame-pointer", "frame-pointer", "frame-pointer"]
          and r.get("bucket") == "0xC0000005 test_app.exe+0x429E <- test_app.exe+0x4200 <- test_app.exe+0x53EC",
          f"x86 stack and 32-bit address: {r.get('exception')}, {r.get('bucket')}")
    names = {"invalid-parameter.dmp": "STATUS_INVALID_PARAMETER",
             "tiny-exe-fastfail.dmp": "STATUS_STACK_BUFFER_OVERRUN / FAST_FAIL_FATAL_APP_EXIT"}
    for name, want in names.items():
        check(row(name).get("exception", {}).get("name") == want, f"{name}: {row(name).get('exception')}")
    # The crashing thread's stack with --all-threads starts from the exception's context,
    # not from its own, which lies in the handler that wrote the dump.
    r = row("invalid-parameter.dmp")
    crashed = [t for t in r.get("thread_stacks", []) if t["thread"] == r.get("exception", {}).get("thread")]
    check(crashed and crashed[0]["stack"] == r["stack"] and r["stack"][0]["module"] == "crashtest.exe",
          f"--all-threads: the crashing thread from the exception's context: {crashed and crashed[0]['stack'][:2]}")
    # Names of threads, and the product version of Windows' own DLLs where the file version is 6.2.
    r = row("thread_name_list.dmp")
    check(r.get("exception", {}).get("thread_name") == "overflow thread"
          and {t["thread"]: t["name"] for t in r.get("thread_stacks", []) if t["name"]}
          == {6564: "main thread", 8820: "sleep thread", 10976: "overflow thread"},
          f"thread names: {r.get('exception')}, {[(t['thread'], t['name']) for t in r.get('thread_stacks', [])]}")
    ntdll = [m for m in r.get("modules", []) if m["name"] == "ntdll.dll"]
    check(ntdll and (ntdll[0]["version"], ntdll[0]["product_version"]) == ("6.2.17763.1192", "10.0.17763.1192"),
          f"ntdll's file and product versions: {ntdll}")
    code, table, _ = triage(PUBLIC / "thread_name_list.dmp")
    check(code == 0 and "THREADS" in table and "overflow thread" in table, f"the table names the thread: {table}")


# --- html ---------------------------------------------------------------------------

def chromium(*args):
    with tempfile.TemporaryDirectory() as profile:
        return subprocess.run(
            [ARGS["chromium"], "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             f"--user-data-dir={profile}", *args], capture_output=True, timeout=120)


def run_html():
    work = fresh("html")
    dumps = work / "dumps"
    dumps.mkdir()
    day = 86400
    start = 1764547200  # 2025-12-01
    plan = [("nvwgf2umx.dll", 0x1382, 0xC0000005, 60), ("GameOverlayRenderer64.dll", 0x5A10, 0xC0000005, 18),
            ("d3d9.dll", 0x2F44, 0xC000001D, 9), ("AudioMixer64.dll", 0x88, 0xC0000094, 5), (None, 0, 0xC0000005, 3),
            ("<img src=x onerror=alert(1)>.dll", 0x10, 0xC0000005, 1)]
    n = 0
    for module, offset, code, count in plan:
        for i in range(count):
            stamp = start + (i * 7919 % 28) * day + (i * 3607) % day
            dumpgen.capture_like(dumps / f"upload-{n:03d}.dmp", time_stamp=stamp, code=code,
                                 fault=(module, offset) if module else None,
                                 driver_version=(31, 0, 15, 5222 if i % 3 else 4601),
                                 client_version=(10, 2, 0, 7 + i % 2),
                                 client_text=b"scene=%s\r\n" % [b"harbour", b"forest", b"menu"][i % 3])
            n += 1
    page = pathlib.Path(ARGS["screenshot"]).with_suffix(".html")
    code, out, err = triage("--html", page, dumps)
    check(code == 0 and page.exists(), f"crash-triage --html (exit {code}, {err!r})")
    html = page.read_text(encoding="utf-8")
    check("http://" not in html and "https://" not in html and "<script" not in html and "<link" not in html,
          "the page fetches nothing and runs no script")
    dom = chromium("--dump-dom", page.as_uri())
    text = dom.stdout.decode("utf-8", "replace")
    check(dom.returncode == 0 and "<details" in text, f"chromium loaded the page ({dom.stderr[-300:]!r})")
    for key in ("0xC0000005 nvwgf2umx.dll+0x1382", "0xC0000005 gameoverlayrenderer64.dll+0x5A10",
                "0xC000001D d3d9.dll+0x2F44", "0xC0000094 audiomixer64.dll+0x88", ">0xC0000005<"):
        check(key in text, f"the DOM holds the bucket {key!r}")
    check("<img" not in text and "&lt;img src=x onerror=alert(1)&gt;.dll" in text,
          "a module name of markup stays text")
    shot = chromium(f"--screenshot={ARGS['screenshot']}", "--window-size=1440,1100", "--hide-scrollbars",
                    page.as_uri())
    check(shot.returncode == 0 and pathlib.Path(ARGS["screenshot"]).stat().st_size > 10000,
          f"screenshot written to {ARGS['screenshot']}")
    print(f"page: {page} ({len(html)} bytes), screenshot: {ARGS['screenshot']}")

    # Over a crash history: the chart per client version, new and regressed buckets marked.
    db = work / "history.db"
    triage("--db", db, dumps)
    triage("mark", "--db", db, "1", "--fixed-in", "10.2.0.8", "--note", "GAME-4711")
    later = work / "later"
    later.mkdir()
    dumpgen.capture_like(later / "again.dmp", time_stamp=start + 40 * day, client_version=(10, 2, 0, 8))
    dumpgen.capture_like(later / "new.dmp", time_stamp=start + 40 * day, fault=("ReShade64.dll", 0x42),
                         client_version=(10, 2, 0, 9))
    history = pathlib.Path(ARGS["screenshot"]).with_name("triage-history.html")
    code, _, err = triage("--db", db, "--html", history, later)
    text = chromium("--dump-dom", history.as_uri()).stdout.decode("utf-8", "replace")
    check(code == 0 and "Crashes per client version" in text and 'class="status regressed"' in text
          and "regressed (fixed in 10.2.0.8)" in text and "new in 10.2.0.9" in text and "GAME-4711" in text
          and text.count("<rect") > 0, f"the page over a crash history ({err!r}): {text[:400]!r}")
    shot = chromium(f"--screenshot={history.with_suffix('.png')}", "--window-size=1440,1100", "--hide-scrollbars",
                    history.as_uri())
    print(f"history page: {history}, screenshot: {history.with_suffix('.png')}")


# --- road ---------------------------------------------------------------------------

def crash_for_a_new_dump(game, *client_args):
    """The game's client crashed under the stand-in at start, a second after the last crash:
    the dump's name carries the second, and a dump of the same second would replace the
    last. Gives the one new dump in the crash folder (None without) and the results."""
    time.sleep(1.1)
    folder = game / "Crash"
    before = set(folder.glob("*.dmp"))
    values = crash_at_start(game, *client_args)
    new = sorted(set(folder.glob("*.dmp")) - before)
    check(len(new) == 1, f"one new dump in {folder}, got {new}")
    return (new[0] if new else None), values


def run_road():
    game = game_folder("road", *pathlib.Path(ARGS["fault-modules"]).glob("*.dll"), ARGS["divide"])
    folder = game / "Crash"
    made = {}
    cases = (("nvidia", ("--crash=in:nvwgf2umx.dll", "--tag=nightly", "--language=de",
                         "--text1=scene=harbour\\r\\nfree line\\r\\n")),
             ("nvidia-again", ("--crash=in:nvwgf2umx.dll",)),
             ("divide", ("--crash=in:GameDetour64.dll",)),
             ("no-block", ("--crash=in:GameOverlayRenderer64.dll", "--version=3")))
    for name, client_args in cases:
        made[name] = crash_for_a_new_dump(game, *client_args)
    # Written elsewhere: System32's MiniDumpWriteDump alone, no report, in a subfolder.
    elsewhere = folder / "from-forum"
    elsewhere.mkdir(parents=True, exist_ok=True)
    values = crash_at_start(game, "--crash=no-module",
                            host_args=("--dump-only=" + windows_path(elsewhere / "attachment.dmp"),))
    made["elsewhere"] = (elsewhere / "attachment.dmp", values)
    # A player renamed the file before sending it.
    if made["nvidia"][0]:
        shutil.copy(made["nvidia"][0], folder / "my crash.dmp")

    code, out, err = triage("--json", "Crash", program=ARGS["host-triage"], cwd=game)
    rows = rows_of(out)
    check(code == 0 and len(rows) == 6 and all(r["readable"] for r in rows),
          f"Linux build reads all six dumps (exit {code}, {err!r}, {[(r['file'], r['error']) for r in rows]})")
    compare_with_obj2yaml(rows, game)
    by_file = {pathlib.Path(r["file"]).name: r for r in rows}

    def row(name):
        return by_file.get(made[name][0].name if made[name][0] else "", {})

    for name, (dump, values) in made.items():
        r = row(name)
        check(r.get("exception", {}).get("code") == values.get("exception.code")
              and r.get("exception", {}).get("thread") == int(values.get("exception.thread", -1)),
              f"{name}: the exception the stand-in saw, got {r.get('exception')} for {values}")
    r = row("nvidia")
    check(r.get("name", {}).get("tag") == "nightly" and r.get("name", {}).get("language") == "DE"
          and r.get("client_version") == "10.2.0.7" and r.get("advice") == "nvidia-driver"
          and r.get("exception", {}).get("access") == "write" and r.get("fault", {}).get("module") == "nvwgf2umx.dll"
          and r.get("report", {}).get("client_text") == ["scene=harbour", "free line"]
          and r.get("report", {}).get("fields", {}).get("scene") == "harbour", f"our capture: {r}")
    r = row("divide")
    check(r.get("exception", {}).get("name") == "EXCEPTION_INT_DIVIDE_BY_ZERO"
          and r.get("exception", {}).get("access") is None and r.get("advice") == "injected-module"
          and r.get("fault", {}).get("module") == "GameDetour64.dll", f"another exception code: {r}")
    r = row("no-block")
    check(r.get("report") is not None and r["report"]["client_text"] == [] and r.get("advice") == "overlay-hook"
          and r.get("name", {}).get("tag") is None, f"a client whose block is not ours: {r}")
    r = by_file.get("attachment.dmp", {})
    check(r.get("report") is None and r.get("name") is None and r.get("bucket") == "0xC0000005"
          and r.get("fault") == {"module": None, "offset": None, "module_version": None, "module_product_version": None}
          and r.get("time_source") == "dump", f"a dump written elsewhere: {r}")
    renamed = dict(by_file.get("my crash.dmp", {}))
    original = dict(row("nvidia"))
    for key in ("file", "name", "time", "time_source"):
        renamed.pop(key, None)
        original.pop(key, None)
    check(renamed == original and by_file.get("my crash.dmp", {}).get("name") is None,
          "a renamed dump loses only what its name said")
    compare_with_breakpad(["Crash"], program=ARGS["host-triage"], cwd=game)
    code, out, _ = triage("--buckets-json", "Crash", program=ARGS["host-triage"], cwd=game)
    buckets = {b["bucket"]: b for b in rows_of(out)}
    nvidia = buckets.get(row("nvidia").get("bucket"), {})
    check(nvidia.get("count") == 3 and nvidia.get("versions") == ["10.2.0.7"], f"the NVIDIA bucket: {buckets}")

    # The Windows build under Wine: the same bytes, the path's separators aside.
    code, wine_out = wine(ARGS["triage-exe"], "--json", "Crash", cwd=game)
    linux_lines = triage("--json", "Crash", program=ARGS["host-triage"], cwd=game)[1].splitlines()
    wine_lines = wine_out.splitlines()

    def same_file(line):
        head, sep, rest = line.partition('","readable":')
        return head.replace("\\\\", "/") + sep + rest

    check(code == 0 and len(wine_lines) == len(linux_lines), f"Wine build: exit {code}, {len(wine_lines)} lines")
    for ours, theirs in zip(linux_lines, wine_lines):
        check(same_file(theirs) == ours, f"Wine and Linux builds differ:\n  {theirs}\n  {ours}")
    # A crash history kept by the Windows build: the Linux build reads the same file; a
    # store on a network share is refused before anything is read or written.
    for f in game.glob("history.db*"):
        f.unlink()
    code, kept = wine(ARGS["triage-exe"], "--db", "history.db", "--buckets-json", "Crash", cwd=game)
    code_linux, out, _ = triage("--db", game / "history.db", "--buckets-json", program=ARGS["host-triage"])
    ours = {b["bucket"]: (b["count"], b["copies"], b["status"]) for b in rows_of(out)}
    check(code == 0 and code_linux == 0 and ours == {b["bucket"]: (b["count"], b["copies"], b["status"])
                                                     for b in rows_of(kept)}
          and sum(c for c, _, _ in ours.values()) == 5 and sum(c for _, c, _ in ours.values()) == 6,
          f"a store made on Windows, read on Linux: {ours} / {kept!r}")
    said = []
    code, _ = wine(ARGS["triage-exe"], "--db", "\\\\server\\share\\history.db", "Crash", cwd=game, errors=said)
    check(code == 2 and "lies on a network share" in "".join(said), f"a store on a network share: {code} {said}")
    print(f"road: {len(rows)} dumps, {len(buckets)} buckets, Wine output {len(wine_out)} bytes identical")


def run_checks(group, args):
    """Takes the --key=value arguments, runs one group of checks, says how they went."""
    parse_args(args)
    group()
    if FAILURES:
        print(f"{len(FAILURES)} checks failed")
        return 1
    print("all checks passed")
    return 0


def main():
    groups = {"inputs": run_inputs, "public": run_public, "html": run_html, "road": run_road}
    return run_checks(groups[sys.argv[1]], sys.argv[2:])


if __name__ == "__main__":
    sys.exit(main())
