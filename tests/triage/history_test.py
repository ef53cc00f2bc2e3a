#!/usr/bin/env python3
"""crash-triage's crash history (--db) and symbol archive, on the host.

  history  the questions support asks after a patch, one check each: is this dump known
           already (by content: renamed copies counted, equal names kept apart), which
           buckets are new, which came back after a fix (versions ordered by number),
           which are new in the newest version, how releases compare (the matrix,
           --version, --since), each checked in the store with Python's sqlite3 and
           sha256; the store's failure cases (newer, foreign, not SQLite, damaged, each
           refused and left byte for byte as it was; a run killed with SIGKILL; two runs
           adding at once); a store of every earlier schema version (store-vN.sql, loaded
           with the sqlite3 shell) brought up to date.
  archive  a release's PE image and PDB, written by yaml2obj and llvm-pdbutil, archived
           under the keys that llvm-readobj and llvm-pdbutil print; a second run changes
           nothing; a different file under a taken key is refused.

Usage: history_test.py GROUP --key=value...   (CMake passes the paths; see CMakeLists.txt)
"""
import hashlib
import json
import os
import pathlib
import re
import signal
import sqlite3
import subprocess
import sys
import time

sys.path[:0] = [str(pathlib.Path(__file__).parent), str(pathlib.Path(__file__).parents[1])]
import dumpgen  # noqa: E402
from triage_test import fresh, rows_of, run_checks, triage  # noqa: E402
from wine_harness import ARGS, check  # noqa: E402

DAY = 86400
START = 1772323200  # 2026-03-01


def crash(folder, name, *, fault=("nvwgf2umx.dll", 0x1382), version=(10, 2, 0, 7), day=0, second=0):
    """A dump of the capture's shape, named as the capture names it."""
    stamp = START + day * DAY + second
    when = time.strftime("%Y-%m-%d_%H-%M-%S", time.gmtime(stamp))
    path = folder / (name or f"Client_{'.'.join(map(str, version))}_{when}_DE.dmp")
    dumpgen.capture_like(path, time_stamp=stamp, fault=fault, client_version=version)
    return path


def buckets_of(db, *args):
    code, out, err = triage("--db", db, "--buckets-json", *args)
    check(code == 0, f"--buckets-json over {db} {args}: exit {code} ({err.strip()!r})")
    return {b["bucket"]: b for b in rows_of(out)}


def sql(db, *statements, uri=False):
    """Runs each statement in `db` and closes it (an open connection would keep the WAL
    and checkpoint it later): the rows of the last."""
    c = sqlite3.connect(db, uri=uri, timeout=1)
    try:
        rows = [c.execute(s).fetchall() for s in statements][-1]
        c.commit()
        return rows
    finally:
        c.close()


def digest(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


def run_history():
    work = fresh("history")
    db = work / "crashes.db"
    week1, week2 = work / "week1", work / "week2"
    week1.mkdir()
    (week1 / "forum").mkdir()
    week2.mkdir()

    # Is this dump known already? One crash sent twice (renamed by the player), and another
    # crash whose file has the same name in another folder.
    first = crash(week1, None, second=1)
    (week1 / "my crash.dmp").write_bytes(first.read_bytes())
    crash(week1 / "forum", first.name, fault=("d3d9.dll", 0x2F44), second=1)
    for i in range(3):
        crash(week1, None, fault=("GameOverlayRenderer64.dll", 0x5A10), day=1, second=i)
    code, out, err = triage("--db", db, week1)
    check(code == 0 and "5 new dumps, 1 new copy of stored ones" in out, f"week 1 added: {out[:300]!r} {err!r}")
    stored = {bytes(h).hex(): n for h, n in sql(db, "SELECT sha256, copies FROM dumps")}
    paths = sorted(p for (p,) in sql(db, "SELECT path FROM sightings"))
    check(stored.get(digest(first)) == 2 and len(stored) == 5
          and stored.get(digest(week1 / "forum" / first.name)) == 1,
          f"one dump per content (SHA-256 of the whole file), copies counted: {stored}")
    check(str(week1 / "my crash.dmp") in paths and len(paths) == 6, f"every path kept: {paths}")
    code, out, _ = triage("--db", db, week1)
    check(code == 0 and "0 new dumps, 0 new copies of stored ones, 6 known already" in out,
          f"reading the same folder again adds nothing: {out[:200]!r}")
    # A file that changed where one was read before is read again: a player's next crash
    # saved under the same name.
    spot = work / "same-name"
    spot.mkdir()
    crash(spot, "crash.dmp")
    triage("--db", work / "same-name.db", spot)
    crash(spot, "crash.dmp", fault=("d3d9.dll", 0x2F44))
    code, out, _ = triage("--db", work / "same-name.db", spot)
    check(code == 0 and "1 new dump," in out, f"a changed file at a known path: {out[:200]!r}")

    # Which crash came back after its fix? Versions order by their numbers: 10.2.0.10 is
    # later than 10.2.0.9.
    week1_buckets = buckets_of(db)
    nvidia = next(b for k, b in week1_buckets.items() if "nvwgf2umx" in k)
    overlay = next(b for k, b in week1_buckets.items() if "gameoverlay" in k)
    check(nvidia["new"] and nvidia["status"] == "open", f"week 1's buckets are new: {nvidia}")
    code, out, err = triage("mark", "--db", db, str(nvidia["id"]), "--fixed-in", "10.2.0.8", "--note", "GAME-4711")
    check(code == 0 and "fixed in 10.2.0.8" in out, f"mark fixed: {out!r} {err!r}")
    code, _, err = triage("mark", "--db", db, overlay["bucket"], "--fixed-in", "10.2.0.10")
    check(code == 0, f"mark by key: {err!r}")
    code, _, err = triage("mark", "--db", db, "999", "--reopen")
    check(code == 2 and "no bucket 999" in err, f"an unknown bucket: {err!r}")

    # Week 2: the fixed crash again in 10.2.0.8 (regressed), the overlay crash in 10.2.0.8
    # (before its fix in 10.2.0.10: not regressed), and a crash new in 10.2.0.8.
    crash(week2, None, version=(10, 2, 0, 8), day=7)
    crash(week2, None, fault=("GameOverlayRenderer64.dll", 0x5A10), version=(10, 2, 0, 8), day=7, second=1)
    crash(week2, None, fault=("AudioMixer64.dll", 0x88), version=(10, 2, 0, 8), day=8)
    code, table, err = triage("--db", db, week2)
    check(code == 0 and "3 new dumps" in table, f"week 2 added: {table[:200]!r} {err!r}")
    b = buckets_of(db)
    nvidia, overlay = b.get(nvidia["bucket"], {}), b.get(overlay["bucket"], {})
    audio = next((v for k, v in b.items() if "audiomixer" in k), {})
    check(nvidia.get("status") == "regressed" and nvidia.get("note") == "GAME-4711" and not nvidia.get("new"),
          f"a dump of the fixed version makes the bucket regressed: {nvidia}")
    check(overlay.get("status") == "fixed" and overlay.get("fixed_in") == "10.2.0.10",
          f"10.2.0.9 comes before 10.2.0.10: {overlay}")
    check(audio.get("new") and audio.get("new_in") == "10.2.0.8" and nvidia.get("new_in") is None,
          f"new in this run, new in the newest version: {audio}")
    check(re.search(r"#%d .*regressed \(fixed in 10\.2\.0\.8\)" % nvidia.get("id", 0), table) is not None
          and "Dumps per client version" in table, f"the table says so: {table[:1500]}")

    # How does this release compare with the last? The matrix, and the filters.
    check(nvidia.get("per_version") == {"10.2.0.7": 1, "10.2.0.8": 1} and nvidia.get("copies") == 3
          and nvidia.get("first_version") == "10.2.0.7" and nvidia.get("last_version") == "10.2.0.8",
          f"count per client version: {nvidia}")
    only = buckets_of(db, "--version", "10.2.0.8")
    check(sorted(v["count"] for v in only.values()) == [1, 1, 1]
          and only.get(nvidia["bucket"], {}).get("status") == "regressed", f"--version 10.2.0.8: {only}")
    since = buckets_of(db, "--since", "2026-03-09")
    check(list(since) == [audio.get("bucket")], f"--since 2026-03-09: {list(since)}")
    code, out, _ = triage("--db", db, "--json", "--version", "10.2.0.8", "--since", "2026-03-09")
    rows = rows_of(out)
    check(code == 0 and len(rows) == 1 and rows[0]["sha256"] == digest(rows[0]["file"]) and rows[0]["copies"] == 1,
          f"--json over the store: {rows}")
    # The stored facts read back as the dump has them, module bases going down included.
    code, direct, _ = triage("--json", rows[0]["file"])
    check(code == 0 and rows_of(direct)[0]["modules"] == rows[0]["modules"],
          f"the stored module list: {rows[0]['modules']} against {rows_of(direct)[0]['modules']}")
    code, out, _ = triage("mark", "--db", db, str(nvidia.get("id")), "--reopen")
    check(buckets_of(db)[nvidia["bucket"]]["status"] == "open", "reopened")

    run_failures(work, db)
    run_earlier_versions(work)
    run_kill(work)
    run_together(work)


def run_failures(work, db):
    """Stores that are not to be used: refused in one line, left as they were."""
    cases = {}
    newer = work / "newer.db"
    newer.write_bytes(db.read_bytes())
    sql(newer, "PRAGMA user_version = 3")  # the next one after this crash-triage's
    cases[newer] = "made by a newer crash-triage (store version 3"
    foreign = work / "foreign.db"
    sql(foreign, "CREATE TABLE invoices(id INTEGER PRIMARY KEY, total REAL)")
    cases[foreign] = "not a crash-triage store (a SQLite database of another program)"
    text = work / "notes.db"
    text.write_text("the player says it crashed at the harbour\n")
    cases[text] = "not a crash-triage store (not a SQLite file)"
    damaged = work / "damaged.db"
    data = bytearray(db.read_bytes())
    data[100:4096] = b"\xA5" * (4096 - 100)  # the schema page, past the file header
    damaged.write_bytes(bytes(data))
    cases[damaged] = "a damaged crash-triage store (database disk image is malformed)"
    for path, reason in cases.items():
        before = path.read_bytes()
        code, out, err = triage("--db", path, work / "week2")
        check(code == 2 and reason in err and err.count("\n") == 1 and path.read_bytes() == before
              and not pathlib.Path(str(path) + "-wal").exists(),
              f"{path.name}: refused in one line and untouched, got exit {code}, {err!r}")


def run_earlier_versions(work):
    """A store of each earlier schema version (store-vN.sql, as that version wrote it) is
    brought up to date in place and keeps everything."""
    for script in sorted(pathlib.Path(__file__).parent.glob("store-v*.sql")):
        db = work / (script.stem + ".db")
        subprocess.run([ARGS["sqlite3"], db], input=script.read_bytes(), check=True)
        code, out, err = triage("--db", db, "--buckets-json")
        b = {row["id"]: row for row in rows_of(out)}
        check(code == 0 and sql(db, "PRAGMA user_version")[0][0] > int(script.stem[len("store-v"):])
              and b.get(1, {}).get("status") == "regressed" and b[1].get("note") == "GAME-4711"
              and b[1].get("per_version") == {"10.2.0.7": 1, "10.2.0.8": 1} and b[1].get("copies") == 3
              and b.get(2, {}).get("count") == 1, f"{script.name} brought up to date: {b} {err!r}")
        code, out, _ = triage("--db", db, "--json")
        bases = {m["name"]: m["base"] for row in rows_of(out) for m in row["modules"]}
        check(bases.get("Client.exe") == "0x0000000140000000" and bases.get("ntdll.dll") == "0x00007FFB40000000",
              f"{script.name}: module lists kept: {bases}")
        code, out, _ = triage("--db", db, work / "week2")
        check(code == 0 and "3 new dumps" in out, f"{script.name}: adds to it afterwards: {out[:200]!r}")


def run_kill(work):
    """A run killed with SIGKILL while adding: the store holds exactly what committed, and
    the next run adds the rest."""
    many = work / "many"
    many.mkdir()
    count = 3000
    for i in range(count):
        crash(many, f"upload-{i:04d}.dmp", fault=(f"mod{i % 7}.dll", 0x10 + i), day=i % 20, second=i)
    db = work / "killed.db"
    run = subprocess.Popen([ARGS["triage"], "--db", db, many], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    stored = 0
    deadline = time.monotonic() + 120
    while stored == 0 and run.poll() is None and time.monotonic() < deadline:
        time.sleep(0.005)
        try:
            stored = sql(f"file:{db}?mode=ro", "SELECT count(*) FROM dumps", uri=True)[0][0]
        except sqlite3.Error:
            pass
    run.send_signal(signal.SIGKILL)
    run.wait()
    counts = [sql(db, f"SELECT count(*) FROM {t}")[0][0] for t in ("dumps", "facts", "sightings")]
    integrity = sql(db, "PRAGMA integrity_check")[0][0]
    print(f"killed after the first commit: {counts[0]} of {count} dumps stored")
    check(integrity == "ok" and 0 < counts[0] < count and counts[0] == counts[1] == counts[2],
          f"after SIGKILL: whole dumps only, {counts}, integrity {integrity}")
    code, out, err = triage("--db", db, many, "--buckets-json")
    total, distinct = sql(db, "SELECT count(*), count(DISTINCT sha256) FROM dumps")[0]
    check(code == 0 and total == distinct == count and f"{count - counts[0]} new dumps" in err,
          f"the next run adds the rest: {total} stored, {err!r}")


def run_together(work):
    """Two runs adding overlapping folders to one store at once: both succeed, no dump twice."""
    # Two runs making one new store: the first switches it to WAL, which takes a lock that
    # SQLite does not wait for. The moment is short, so it is tried on many new stores.
    for i in range(30):
        new = work / "together" / f"new-{i}.db"
        new.parent.mkdir(exist_ok=True)
        pair = [subprocess.Popen([ARGS["triage"], "--db", new, work / "week1"], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE) for _ in range(2)]
        results = [(r.wait(timeout=60), r.stderr.read().decode()) for r in pair]
        check(all(code == 0 for code, _ in results), f"two runs making a new store: {results}")
    db = work / "together.db"
    runs = [subprocess.Popen([ARGS["triage"], "--db", db, "--json", work / folder, work / "many"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            for folder in ("week1", "week2")]
    results = [(r.wait(timeout=300), r.stderr.read().decode()) for r in runs]
    total, distinct, copies = sql(db, "SELECT count(*), count(DISTINCT sha256), sum(copies) FROM dumps")[0]
    paths = sql(db, "SELECT count(*) FROM sightings")[0][0]
    check(all(code == 0 for code, _ in results) and total == distinct == 3000 + 5 + 3 and copies == paths == total + 1,
          f"two runs at once: {results}, {total} dumps, {copies} copies, {paths} paths")


def run_archive():
    work = fresh("archive")
    release = work / "release" / "10.2.0.8"
    (release / "symbols").mkdir(parents=True)
    image = release / "Nvwgf2umx.dll"
    subprocess.run([ARGS["yaml2obj"], "-o", image], check=True, input=PE_YAML.encode())
    data = bytearray(image.read_bytes())  # yaml2obj writes no time stamp: the linker's
    at = int.from_bytes(data[0x3C:0x40], "little") + 8
    data[at:at + 4] = (0x65A1C0DE).to_bytes(4, "little")
    image.write_bytes(bytes(data))
    pdb = release / "symbols" / "Nvwgf2umx.pdb"
    yaml = work / "pdb.yaml"
    yaml.write_text(PDB_YAML)
    subprocess.run([ARGS["llvm-pdbutil"], "yaml2pdb", f"--pdb={pdb}", yaml], check=True)
    (release / "readme.txt").write_text("not a module\n")
    headers = subprocess.run([ARGS["llvm-readobj"], "--file-headers", image], capture_output=True, text=True).stdout
    stamp = int(re.search(r"TimeDateStamp: .*\(0x([0-9A-F]+)\)", headers).group(1), 16)
    size = int(re.search(r"SizeOfImage: (\d+)", headers).group(1))
    summary = subprocess.run([ARGS["llvm-pdbutil"], "dump", "--summary", pdb], capture_output=True, text=True).stdout
    guid = re.search(r"GUID: \{([0-9A-F-]+)\}", summary).group(1).replace("-", "")
    age = int(re.search(r"Age: (\d+)", summary).group(1))
    store = work / "symbols"
    code, out, err = triage("archive", "--store", store, release)
    want = [f"Nvwgf2umx.dll/{stamp:08X}{size:x}/Nvwgf2umx.dll", f"Nvwgf2umx.pdb/{guid}{age:x}/Nvwgf2umx.pdb"]
    got = sorted(str(p.relative_to(store)) for p in store.rglob("*") if p.is_file())
    check(code == 0 and got == want and "archived 2 files" in out and "1 other files skipped" in out,
          f"archive: {got} (want {want}), {out!r} {err!r}")
    check(all((store / w).read_bytes() == (image if w.endswith(".dll") else pdb).read_bytes() for w in want if (store / w).exists()),
          "archived byte for byte")
    code, out, _ = triage("archive", "--store", store, release)
    check(code == 0 and "archived 0 files" in out and "2 there already" in out, f"a second run: {out!r}")
    # Another file that claims the same key: refused, the archived one kept.
    other = work / "other" / "Nvwgf2umx.dll"
    other.parent.mkdir()
    other.write_bytes(image.read_bytes() + b"tampered")
    code, out, err = triage("archive", "--store", store, other.parent)
    check(code == 1 and "a different file is archived as " + want[0] in err
          and (store / want[0]).read_bytes() == image.read_bytes() and not list(store.rglob(".*.tmp")),
          f"a different file under a taken key: {err!r}")


# A PE image as a release holds it: the header fields that make its key, one section.
PE_YAML = """--- !COFF
OptionalHeader:
  AddressOfEntryPoint: 0x1000
  ImageBase: 0x180000000
  SectionAlignment: 0x1000
  FileAlignment: 0x200
  MajorOperatingSystemVersion: 6
  MajorSubsystemVersion: 6
  Subsystem: IMAGE_SUBSYSTEM_WINDOWS_GUI
  DLLCharacteristics: [ IMAGE_DLL_CHARACTERISTICS_HIGH_ENTROPY_VA, IMAGE_DLL_CHARACTERISTICS_DYNAMIC_BASE ]
  SizeOfStackReserve: 0x100000
  SizeOfStackCommit: 0x1000
  SizeOfHeapReserve: 0x100000
  SizeOfHeapCommit: 0x1000
header:
  Machine: IMAGE_FILE_MACHINE_AMD64
  Characteristics: [ IMAGE_FILE_EXECUTABLE_IMAGE, IMAGE_FILE_LARGE_ADDRESS_AWARE, IMAGE_FILE_DLL ]
sections:
  - Name: .text
    Characteristics: [ IMAGE_SCN_CNT_CODE, IMAGE_SCN_MEM_EXECUTE, IMAGE_SCN_MEM_READ ]
    VirtualAddress: 0x1000
    VirtualSize: 0x2A345
    SectionData: C3
symbols: []
...
"""

PDB_YAML = """---
PdbStream:
  Age: 11
  Guid: '{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}'
  Signature: 1705099486
  Version: VC70
DbiStream:
  Age: 11
...
"""


def main():
    return run_checks({"history": run_history, "archive": run_archive}[sys.argv[1]], sys.argv[2:])


if __name__ == "__main__":
    sys.exit(main())
