"""Breakpad's minidump_stackwalk as a second reader of dumps and stacks.

read() runs it without symbols and parses its text; differences() holds crash-triage's
--json --all-threads row (also read without --binaries or --symbols) against it: the
exception, the crashing thread, the module list and the crashing thread's frames. What
may differ is named in KNOWN with the reason crash-triage's answer stands; anything else
is a difference to fix.
"""
import re
import struct
import subprocess

TRUST = {"given as instruction pointer in context": "context", "previous frame's frame pointer": "frame-pointer",
         "stack scanning": "scan", "call frame info": "cfi", "call frame info with scanning": "cfi",
         "simulating a return from leaf function": "leaf"}

# The differences that are expected, each with why crash-triage's answer is the right one.
KNOWN = {
    "deeper": "Breakpad follows a stack to 1024 frames; crash-triage keeps 64, the bound that keeps a "
              "hostile or endlessly recursing stack cheap (the frames it keeps agree)",
    "scan-further": "after the last frame both found, Breakpad's scan looks only a few dozen words up the "
                    "stack and stops, where crash-triage searches on to the stack's end: both are scanned "
                    "guesses, marked scan, and never enter a bucket key",
    "scan-code": "Breakpad's scan took a word that is no return address: llvm-objdump's disassembly of the "
                 "module shows no call instruction ending just before it (a function's own address, for "
                 "one); crash-triage's scan reads the code where the dump or the module file holds it and "
                 "skips such a word",
    "unnamed": "Breakpad prints the code as a number; crash-triage names it from ntstatus.h or the "
               "runtimes' published codes",
    "leaf": "Breakpad takes the word at frame 0's stack pointer for a leaf function's return address; "
            "crash-triage, with no unwind data to say the function is a leaf, finds the same address by "
            "scanning and says so (scan)",
    "no-thread-list": "Breakpad refuses a dump without a thread list and says nothing of it; crash-triage "
                      "reads the exception, the system and the modules such a dump holds (obj2yaml agrees)",
    "extended-context": "Breakpad 0.26 refuses an x86 context longer than 716 bytes (XSAVE and CET state "
                        "after it) and walks nothing; the registers lie in those first 716 bytes as in any "
                        "x86 CONTEXT, and crash-triage walks from them",
}

FRAME = re.compile(r"^\s*(\d+)\s+(?:(.+?) \+ 0x([0-9a-f]+)|0x([0-9a-f]+))\s*$")
MODULE = re.compile(r"^0x([0-9a-f]+) - 0x([0-9a-f]+)\s+(\S+)\s+(\S+)")


def read(program, dump):
    """What minidump_stackwalk says of `dump`: reason, address, crashed thread index,
    threads (lists of (module or None, offset or address, trust)), modules."""
    run = subprocess.run([program, str(dump)], capture_output=True, text=True, timeout=120)
    out = {"reason": None, "address": None, "crashed": None, "threads": {}, "modules": [], "text": run.stdout,
           "log": run.stderr, "dump_thread": dump_thread(dump)}
    frames, section = None, None
    for line in run.stdout.splitlines():
        if line.startswith("Crash reason:"):
            out["reason"] = line.split(":", 1)[1].strip()
        elif line.startswith("Crash address:"):
            out["address"] = int(line.split(":", 1)[1].strip(), 16)
        elif re.match(r"Thread \d+", line):
            # The crashing thread comes first, under its index in the thread list.
            index = int(line.split()[1])
            frames = out["threads"].setdefault(index, [])
            if "(crashed)" in line:
                out["crashed"] = index
            section = "thread"
        elif line.startswith("Loaded modules:"):
            section = "modules"
        elif section == "modules" and MODULE.match(line):
            m = MODULE.match(line)
            out["modules"].append((int(m[1], 16), int(m[2], 16) + 1, m[3].lower(), None if m[4] == "???" else m[4]))
        elif section == "thread" and FRAME.match(line):
            m = FRAME.match(line)
            frames.append([m[2].lower() if m[2] else None, int(m[3] or m[4], 16), None])
        elif section == "thread" and "Found by:" in line and frames:
            frames[-1][2] = TRUST.get(line.split(":", 1)[1].strip(), "?")
    return out


def dump_thread(dump):
    """The thread that wrote the dump, as Breakpad's client records it (its info stream,
    0x47670001): Breakpad leaves that thread out of its list and numbers the rest."""
    data = open(dump, "rb").read()
    count, directory = struct.unpack_from("<II", data, 8)
    for i in range(count):
        kind, size, rva = struct.unpack_from("<III", data, directory + 12 * i)
        if kind == 0x47670001 and size >= 12:
            validity, thread = struct.unpack_from("<II", data, rva)
            return thread if validity & 1 else None
    return None


_CALL_RETURNS = {}
_INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+((?:[0-9a-f]{2} )+)\s*(\S+)")


def call_returns(binary):
    """The offsets from the image base just after each call instruction of `binary`, by
    llvm-objdump's disassembly: the only places a call returns to."""
    if binary not in _CALL_RETURNS:
        base = int(re.search(r"ImageBase\s+([0-9a-fA-F]+)", subprocess.run(
            ["llvm-objdump", "-p", str(binary)], capture_output=True, text=True).stdout)[1], 16)
        returns = set()
        for line in subprocess.run(["llvm-objdump", "-d", str(binary)], capture_output=True, text=True).stdout.splitlines():
            m = _INSTRUCTION.match(line)
            if m and m[3].startswith("call"):
                returns.add(int(m[1], 16) + len(m[2].split()) - base)
        _CALL_RETURNS[binary] = returns
    return _CALL_RETURNS[binary]


def _ours(frame):
    return [frame["module"], int(frame["offset"] if frame["module"] else frame["address"], 16), frame["trust"]]


def differences(row, theirs, binaries=None):
    """(problems, named, agreed): lines that are real differences, the KNOWN keys that
    explained the others, and how many frames agree over all threads. `binaries` maps
    lower-case module names to their files, where the test has them."""
    problems, named = [], set()
    if "has no thread list" in theirs["log"] and row["threads"] == 0:
        named.add("no-thread-list")
        return problems, named, 0
    e = row.get("exception")
    listed = [t for t in row.get("thread_stacks") or [] if t["thread"] != theirs["dump_thread"]]
    threads = [t["thread"] for t in listed]
    if e is None:
        if theirs["crashed"] is not None and theirs["reason"] not in (None, "No crash"):
            problems.append(f"no exception, Breakpad says {theirs['reason']}")
    else:
        code = int(e["code"], 16)
        address = int(e["target"] or e["address"], 16)
        if theirs["address"] != address:
            problems.append(f"crash address 0x{address:X}, Breakpad 0x{theirs['address'] or 0:X}")
        reason = theirs["reason"] or ""
        if reason.startswith("0x"):
            if int(reason.split()[0], 16) != code:
                problems.append(f"code 0x{code:08X}, Breakpad {reason}")
            elif e["name"]:
                named.add("unnamed")
        else:
            ours = (e["name"] or "").replace("STATUS_STACK_BUFFER_OVERRUN / ", "")
            if e["access"]:
                ours += {"read": "_READ", "write": "_WRITE", "execute": "_EXEC"}[e["access"]]
            if reason != ours and not ours.startswith(reason):
                problems.append(f"exception {ours!r}, Breakpad {reason!r}")
        if theirs["crashed"] is None or theirs["crashed"] >= len(threads) or threads[theirs["crashed"]] != e["thread"]:
            problems.append(f"crashing thread {e['thread']}, Breakpad's is thread #{theirs['crashed']} of {threads}")

    ours_modules = sorted((int(m["base"], 16), int(m["base"], 16) + m["size"], m["name"].lower(), m["version"])
                          for m in row["modules"])
    if ours_modules != sorted(theirs["modules"]):
        problems.append(f"modules differ: {sorted(set(ours_modules) ^ set(theirs['modules']))[:6]}")

    # Every thread's frames: the crashing thread's from the exception's context, the
    # others' from their own.
    agreed = 0
    stacks = {i: t["stack"] for i, t in enumerate(listed)}
    if e is not None and theirs["crashed"] is not None:
        stacks[theirs["crashed"]] = row["stack"]
    for index, bp in sorted(theirs["threads"].items()):
        ours = [_ours(f) for f in stacks.get(index, [])]
        same = 0
        while same < min(len(ours), len(bp)) and ours[same][:2] == bp[same][:2]:
            if ours[same][2] != bp[same][2]:
                if (ours[same][2], bp[same][2]) != ("scan", "leaf"):
                    break
                named.add("leaf")
            same += 1
        agreed += same
        if same == len(ours) == len(bp):
            continue
        ours_next = ours[same] if same < len(ours) else None
        bp_next = bp[same] if same < len(bp) else None
        where = f"thread #{index} frame {same}: ours {ours_next}, Breakpad {bp_next}"
        if ours_next is None and len(ours) == 64:
            named.add("deeper")
        elif not bp and "x86 size mismatch" in theirs["log"]:
            named.add("extended-context")
        elif (ours_next and ours_next[2] != "scan") or (bp_next and bp_next[2] != "scan"):
            problems.append(where + " (a frame found by a step, not a scan)")
        elif bp_next is None:
            named.add("scan-further")
        elif bp_next[0] in (binaries or {}) and bp_next[1] not in call_returns(binaries[bp_next[0]]):
            named.add("scan-code")
        else:
            problems.append(where)
    return problems, named, agreed
