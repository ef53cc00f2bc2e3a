#!/usr/bin/env python3
"""crash-triage's stacks and names on real dumps made under Wine, against lldb-14.

The sample client crashes two and three calls deep in fixture modules (DeepTwo.dll with a
PDB, DeepThree.dll without, built with frame pointers) and in a function without unwind
data (DeepLeaf.dll), each captured by the real Calvorin.dll; a host stand-in makes
Calvorin.dll itself fault, dumped by the WER host stand-in. Every frame crash-triage finds
from the context or the unwind data must be the frame lldb prints at the same depth with
the same binaries; the PDB names function, file and line as llvm-symbolizer does; without
the binaries the stack is scanned and the bucket falls back to the fault offset.

Usage: stack_test.py --key=value...   (CMake passes the paths; see CMakeLists.txt)
"""
import json
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import time

sys.path[:0] = [str(pathlib.Path(__file__).parent), str(pathlib.Path(__file__).parents[1])]
import oracle  # noqa: E402
from triage_test import compare_with_breakpad, crash_for_a_new_dump, rows_of, run_checks, triage  # noqa: E402
from wine_harness import ARGS, check, game_folder, stand_in_at_start, windows_path  # noqa: E402

SOURCE = pathlib.Path(__file__).parents[1] / "fixtures" / "deep_modules" / "deep_crash.cpp"
MODULE_SOURCE = pathlib.Path(__file__).parents[2] / "capture" / "module_win.cpp"


def line_of(path, text, after=None):
    lines = path.read_text().splitlines()
    start = 0 if after is None else next(i for i, l in enumerate(lines) if after in l)
    return next(i + 1 for i in range(start, len(lines)) if text in lines[i])


# Per module: the frames crash-triage must find in it, innermost first, and whether its
# PDB is at hand.
CASES = {
    "DeepTwo.dll": (["Level2", "Level1", "CrashHere"], True),
    "DeepThree.dll": (["Level3", "Level2", "Level1", "CrashHere"], False),
    "DeepLeaf.dll": (["LeafStore", "Level3", "Level2", "Level1", "CrashHere"], False),
}


def compare_with_lldb(name, dump, stack, binaries):
    """Every context and cfi frame at the depth lldb prints the same address."""
    theirs, raw = oracle.lldb_frames(ARGS["lldb"], dump, binaries)
    compared = 0
    for frame in stack:
        if frame["trust"] == "scan" or frame["frame"] >= len(theirs):
            continue
        ours = int(frame["address"], 16)
        check(theirs[frame["frame"]] == ours,
              f"{name}: frame {frame['frame']} at 0x{ours:X}, lldb 0x{theirs[frame['frame']]:X}")
        compared += 1
    return compared, theirs, raw


def pe_sections(path):
    """SizeOfImage and {name: RVA} of a PE file's sections."""
    data = path.read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, optional = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + optional
    sections = {data[table + 40 * i: table + 40 * i + 8].rstrip(b"\0").decode(): struct.unpack_from("<I", data, table + 40 * i + 12)[0]
                for i in range(count)}
    return struct.unpack_from("<I", data, pe + 24 + 56)[0], sections


def check_pdb_names_only_inside_functions(dll, symbols):
    """A dump as Windows writes it (the module's CodeView record names the PDB), with no
    module file at hand: a scanned word pointing into .rdata is named by nothing, while an
    address inside Level1's code is, though the PDB's public symbols name the nearest one
    below either."""
    size, sections = pe_sections(dll)
    data = dll.read_bytes()
    rsds = data.find(b"RSDS")
    codeview = data[rsds:rsds + 24] + b"DeepTwo.pdb\0"
    dump = subprocess.run(["llvm-pdbutil", "dump", "--symbols", str(symbols / "DeepTwo.pdb")], capture_output=True,
                          text=True).stdout
    offset = int(re.search(r"`Level1`\s+parent = \d+, end = \d+, addr = 0001:(\d+)", dump)[1])
    base, level1, rdata = 0x180000000, sections[".text"] + offset, sections[".rdata"] + 0x10
    context = bytearray(1232)
    struct.pack_into("<Q", context, 0x98, 0x10000)        # RSP
    struct.pack_into("<Q", context, 0xF8, base + level1 + 4)  # RIP
    stack = struct.pack("<QQ", base + rdata, base + level1 + 0x10)
    yaml = f"""--- !minidump
Streams:
  - Type: SystemInfo
    Processor Arch: AMD64
    Platform ID: Win32NT
    CPU:
      Vendor ID: GenuineIntel
      Version Info: 0
      Feature Info: 0
  - Type: ModuleList
    Modules:
      - Base of Image: {base:#x}
        Size of Image: {size:#x}
        Module Name: 'C:\\Game\\DeepTwo.dll'
        CodeView Record: '{codeview.hex()}'
  - Type: ThreadList
    Threads:
      - Thread Id: 7
        Context: '{context.hex()}'
        Stack:
          Start of Memory Range: 0x10000
          Content: '{stack.hex()}'
  - Type: Exception
    Thread ID: 7
    Exception Record:
      Exception Code: 0xC0000005
      Exception Address: {base + level1 + 4:#x}
    Thread Context: '{context.hex()}'
...
"""
    path = symbols.parent / "windows-codeview.dmp"
    subprocess.run(["yaml2obj", "-o", str(path)], input=yaml.encode(), check=True)
    code, out, err = triage("--json", "--symbols", symbols, path, program=ARGS["host-triage"])
    stack = (rows_of(out) or [{}])[0].get("stack") or []
    got = [(f["module"], f["offset"], f["function"]) for f in stack]
    check(code == 0 and got == [("deeptwo.dll", f"0x{level1 + 4:X}", "Level1"), ("deeptwo.dll", f"0x{rdata:X}", None),
                                ("deeptwo.dll", f"0x{level1 + 0x10:X}", "Level1")],
          f"PDB names inside functions only: {got} {err!r}")


def run():
    deep = pathlib.Path(ARGS["deep-modules"])
    game = game_folder("stacks", *(deep / dll for dll in CASES))
    symbols = game / "symbols"
    symbols.mkdir()
    shutil.copy(pathlib.Path(ARGS["module"]).with_suffix(".pdb"), symbols / "Calvorin.pdb")
    shutil.copy(deep / "DeepTwo.pdb", symbols / "DeepTwo.pdb")
    crash_folder = game / "Crash"

    dumps = {dll: crash_for_a_new_dump(game, f"--crash=in:{dll}")[0] for dll in CASES}
    # Calvorin.dll faulting in its own code inside a host, dumped by the WER host stand-in.
    own = crash_folder / "calvorin-fault.dmp"
    code, out = stand_in_at_start(game / "Calvorin.dll", ARGS["bad-host"], windows_path(game / "Calvorin.dll"),
                                  host_args=("--dump-only=" + windows_path(own),))
    check(code == 0 and "exception.code=0xC0000005" in out and own.exists(), f"BadHost dumped: {code} {out!r}")

    started = time.monotonic()
    code, out, err = triage("--json", "--binaries", game, "--symbols", symbols, crash_folder,
                            program=ARGS["host-triage"])
    seconds = time.monotonic() - started
    rows = {pathlib.Path(r["file"]).name: r for r in rows_of(out)}
    check(code == 0 and len(rows) == 4 and err == "", f"crash-triage with binaries and symbols: {code} {err!r}")

    compared_total = 0
    for dll, (functions, with_pdb) in CASES.items():
        row = rows.get(dumps[dll].name if dumps[dll] else "", {})
        stack = row.get("stack") or []
        inside = [f for f in stack if f["module"] == dll.lower()]
        check([f["frame"] for f in inside] == list(range(len(functions))),
              f"{dll}: {len(functions)} frames in the module, got {[(f['frame'], f['module']) for f in stack]}")
        check(stack and stack[0]["trust"] == "context" and
              all(f["trust"] == "cfi" for f in stack[1:len(functions) + 2]),
              f"{dll}: frame 0 from the context, then the unwind data into Client.exe: "
              f"{[(f['module'], f['trust']) for f in stack[:len(functions) + 2]]}")
        check(len(stack) > len(functions) and stack[len(functions)]["module"] == "client.exe",
              f"{dll}: the caller of CrashHere is Client.exe")
        if with_pdb:
            lines = [line_of(SOURCE, "*g_target = kept;"), line_of(SOURCE, "Level2(kept);"),
                     line_of(SOURCE, "Level1(2);")]
            got = [(f["function"], pathlib.Path(f["file"] or "").name, f["line"]) for f in inside]
            check(got == [(fn, "deep_crash.cpp", ln) for fn, ln in zip(functions, lines)],
                  f"{dll}: function, file and line from the PDB: {got}")
        else:
            # Without a PDB only the export has a name; the rest keep module and offset.
            got = [f["function"] for f in inside]
            check(got == [None] * (len(functions) - 1) + ["CrashHere"] and all(f["file"] is None for f in inside),
                  f"{dll}: names from the export table alone: {got}")
        keyed = " <- ".join(f"{dll.lower()}!{fn}" if with_pdb else "" for fn in functions[:3])
        check(row.get("bucket", "").count(" <- ") == 2 and (not with_pdb or row["bucket"] == "0xC0000005 " + keyed),
              f"{dll}: bucket of the top three frames: {row.get('bucket')!r}")
        compared, theirs, raw = compare_with_lldb(dll, dumps[dll], stack, game)
        if dll == "DeepLeaf.dll":
            # lldb does not apply the x64 leaf rule and stops at frame 0; what it reads of
            # the stack at RSP is the return address frame 1 must have.
            word = oracle.lldb_word_at_rsp(ARGS["lldb"], dumps[dll], game)
            check(len(stack) > 1 and word == int(stack[1]["address"], 16),
                  f"{dll}: frame 1 is the word at RSP, lldb reads {word and hex(word)}")
            compared += 1
        else:
            check(compared >= len(functions) + 2, f"{dll}: {compared} frames compared with lldb ({theirs}):\n{raw[-800:]}")
        compared_total += compared

    # The shipped module named by its PDB, as llvm-symbolizer names it from the module file.
    row = rows.get("calvorin-fault.dmp", {})
    top = (row.get("stack") or [{}])[0]
    block = range(line_of(MODULE_SOURCE, "if (pExceptionInformation != nullptr) {"),
                  line_of(MODULE_SOURCE, "info.fatal = given.bIsFatal != FALSE;") + 1)
    check(top.get("module") == "calvorin.dll" and top.get("function") == "OutOfProcessExceptionEventCallback"
          and (top.get("file") or "").endswith("capture/module_win.cpp") and top.get("line") in block,
          f"the fault in Calvorin.dll named by its PDB: {top}")
    beside = game / "calvorin-with-pdb"
    beside.mkdir()
    shutil.copy(game / "Calvorin.dll", beside)
    shutil.copy(symbols / "Calvorin.pdb", beside)
    theirs = subprocess.run([ARGS["llvm-symbolizer"], f"--obj={beside / 'Calvorin.dll'}", "--relative-address",
                             "--output-style=JSON", "--no-inlines", top.get("offset", "0")],
                            capture_output=True, text=True, timeout=60).stdout
    answer = json.loads(theirs or "[{}]")
    symbol = ((answer[0] if isinstance(answer, list) else answer).get("Symbol") or [{}])[0]
    check((symbol.get("FunctionName"), symbol.get("Line")) == (top.get("function"), top.get("line")),
          f"llvm-symbolizer on Calvorin.dll says {symbol}, crash-triage {top}")
    compared, _, raw = compare_with_lldb("Calvorin.dll", own, row.get("stack") or [], game)
    compared_total += compared

    # Without the binaries: frame 0 alone is known, the rest is scanned, and the bucket
    # is the fault module and offset again.
    code, out, _ = triage("--json", crash_folder, program=ARGS["host-triage"])
    bare = {pathlib.Path(r["file"]).name: r for r in rows_of(out)}
    for dll in CASES:
        name = dumps[dll].name if dumps[dll] else ""
        stack = bare.get(name, {}).get("stack") or []
        full = rows.get(name, {}).get("stack") or [{}]
        check(stack and stack[0]["address"] == full[0].get("address") and stack[0]["trust"] == "context"
              and len(stack) > 1 and all(f["trust"] == "scan" for f in stack[1:]),
              f"{dll} without binaries: {[(f['module'], f['trust']) for f in stack[:6]]}")
        check(bare.get(name, {}).get("bucket") == f"0xC0000005 {dll.lower()}+{stack[0]['offset'] if stack else ''}",
              f"{dll} without binaries: bucket {bare.get(name, {}).get('bucket')!r}")

    compare_with_breakpad([crash_folder], program=ARGS["host-triage"], binaries=game)

    check_pdb_names_only_inside_functions(game / "DeepTwo.dll", symbols)

    # No llvm-symbolizer: the same stacks, named by the exports, and a note why.
    empty = game / "no-tools"
    empty.mkdir()
    run = subprocess.run([ARGS["host-triage"], "--json", "--binaries", str(game), "--symbols", str(symbols),
                          str(crash_folder)], capture_output=True, text=True, timeout=120,
                         env={**os.environ, "PATH": str(empty)})
    plain = {pathlib.Path(r["file"]).name: r for r in rows_of(run.stdout)}
    two = (plain.get(dumps["DeepTwo.dll"].name if dumps["DeepTwo.dll"] else "", {}).get("stack") or [])
    check(run.returncode == 0 and "llvm-symbolizer" in run.stderr and len(plain) == 4
          and [f["function"] for f in two[:3]] == [None, None, "CrashHere"] and all(f["file"] is None for f in two),
          f"without llvm-symbolizer: exit {run.returncode}, {run.stderr!r}, {[f['function'] for f in two[:3]]}")

    code, table, _ = triage("--binaries", game, "--symbols", symbols, crash_folder, program=ARGS["host-triage"])
    check(code == 0 and "#0 deeptwo.dll!Level2 (" in table and "deep_crash.cpp:" in table,
          f"the table shows each bucket's top frames: {table[-1200:]}")
    check_symbol_store(game, symbols, crash_folder, rows, dumps)
    print(f"stacks: {len(rows)} dumps read in {seconds:.2f} s with binaries and PDBs; "
          f"{compared_total} frames compared with lldb")


def check_symbol_store(game, symbols, crash_folder, rows, dumps):
    """The release archived as a symbol store gives the same stacks as its folders; a crash
    added before the PDBs arrived gets its own bucket, and --rekey with the store merges
    it into the one its stack names, keeping its status and note."""
    store = game.parent / "stacks-symstore"
    shutil.rmtree(store, ignore_errors=True)
    code, out, err = triage("archive", "--store", store, game, program=ARGS["host-triage"])
    check(code == 0 and (store / "DeepTwo.pdb").is_dir() and (store / "Client.exe").is_dir(),
          f"archive the release: {out!r} {err!r}")
    code, out, err = triage("--json", "--store", store, crash_folder, program=ARGS["host-triage"])
    by_store = {pathlib.Path(r["file"]).name: r for r in rows_of(out)}
    for name, row in rows.items():
        theirs = by_store.get(name, {})
        check((theirs.get("stack"), theirs.get("bucket")) == (row.get("stack"), row.get("bucket")),
              f"{name}: the same stack from the symbol store as from the folders: {theirs.get('bucket')!r}")

    later = game.parent / "stacks-later"
    shutil.rmtree(later, ignore_errors=True)
    later.mkdir()
    again = crash_for_a_new_dump(game, "--crash=in:DeepTwo.dll")[0]
    if again:
        shutil.move(again, later / again.name)
    gone = later / "gone.dmp"  # another dump (a byte more), deleted before --rekey
    gone.write_bytes(dumps["DeepThree.dll"].read_bytes() + b"\0")
    db = game.parent / "stacks.db"
    for f in game.parent.glob("stacks.db*"):
        f.unlink()
    code, _, err = triage("--db", db, "--store", store, crash_folder, program=ARGS["host-triage"])
    check(code == 0, f"history with the store: {err!r}")
    code, _, err = triage("--db", db, later, program=ARGS["host-triage"])
    buckets = {b["bucket"]: b for b in rows_of(triage("--db", db, "--buckets-json", program=ARGS["host-triage"])[1])}
    named = rows.get(dumps["DeepTwo.dll"].name if dumps["DeepTwo.dll"] else "", {}).get("bucket")
    early = next((b for k, b in buckets.items() if k.startswith("0xC0000005 deeptwo.dll+0x")), {})
    check(named in buckets and early.get("count") == 1, f"before the PDBs, a bucket of its own: {list(buckets)}")
    triage("mark", "--db", db, str(early.get("id")), "--fixed-in", "10.2.0.8", "--note", "GAME-77",
           program=ARGS["host-triage"])
    gone.unlink()
    code, _, err = triage("--db", db, "--rekey", "--store", store, program=ARGS["host-triage"])
    buckets = {b["bucket"]: b for b in rows_of(triage("--db", db, "--buckets-json", program=ARGS["host-triage"])[1])}
    merged = buckets.get(named, {})
    check(code == 0 and f"merged buckets #{merged.get('id')}, #{early.get('id')} into #{merged.get('id')}" in err
          and "1 no longer where they were found" in err and merged.get("count") == 2
          and merged.get("note") == "GAME-77" and merged.get("fixed_in") == "10.2.0.8"
          and not any(k.startswith("0xC0000005 deeptwo.dll+0x") for k in buckets),
          f"--rekey merges the bucket into the named one: {err!r} {merged}")


def main():
    return run_checks(run, sys.argv[1:])


if __name__ == "__main__":
    sys.exit(main())
