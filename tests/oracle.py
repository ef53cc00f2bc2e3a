"""LLVM's obj2yaml and lldb-14 as the independent readers of a dump: what obj2yaml says of
its streams (for the road tests, and compared with a crash-triage --json row: exception,
module list, system info and comment stream) and what lldb prints of its threads. Fields
obj2yaml leaves out are zero."""
import re
import subprocess

import yaml

ARCH = {"X86": "x86", "AMD64": "amd64", "ARM": "arm", "ARM64": "arm64", "BP_ARM64": "arm64", "PPC": "ppc",
        "PPC64": "ppc64", "SPARC": "sparc", "MIPS": "mips", "IA64": "ia64"}
PLATFORM = {"Win32S": "windows", "Win32Windows": "windows", "Win32NT": "windows", "Win32CE": "windows",
            "Linux": "linux", "MacOSX": "macos", "IOS": "ios", "Android": "android", "Solaris": "solaris"}


def read(obj2yaml, dump):
    """obj2yaml's streams of `dump`: the first of each type by its type, and every stream
    in the order of the stream directory."""
    out = subprocess.run([obj2yaml, str(dump)], capture_output=True, check=True).stdout
    text = out.decode("utf-8", "replace").replace("--- !minidump", "---", 1)
    # Wine leaves the CPU vendor's bytes uninitialised; YAML refuses control characters.
    text = re.sub("[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f]", "?", text)
    # libyaml's loader where PyYAML has it: the same documents, eight times as fast.
    doc = yaml.load(text, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader))
    ordered = doc.get("Streams", [])
    streams = {}
    for stream in ordered:
        streams.setdefault(stream["Type"], stream)
    return streams, ordered


def report_of(comment_hex):
    text = bytes.fromhex(str(comment_hex)).split(b"\0")[0].decode("utf-8", "replace")
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    fields = {}
    for line in (l.rstrip("\r") for l in lines):
        key, sep, value = line.partition("=")
        if sep and key and key not in fields:
            fields[key] = value
    return fields, len(lines)


def differences(row, streams):
    """What the row says differently from obj2yaml, as readable lines."""
    diff = []

    def expect(what, ours, theirs):
        if ours != theirs:
            diff.append(f"{what}: crash-triage {ours!r}, obj2yaml {theirs!r}")

    system = streams.get("SystemInfo")
    if system:
        expect("system", row["system"], {
            "os": PLATFORM.get(system.get("Platform ID")),
            "os_version": f"{system.get('Major Version', 0)}.{system.get('Minor Version', 0)}."
                          f"{system.get('Build Number', 0)}",
            "arch": ARCH.get(system.get("Processor Arch"))})

    exception = streams.get("Exception")
    if exception is None:
        expect("exception", row["exception"], None)
    else:
        record = exception["Exception Record"]
        code = record["Exception Code"]
        params = [record.get(f"Parameter {i}", 0) for i in range(record.get("Number of Parameters", 0))]
        ours = row["exception"] or {}
        # A 32-bit process's addresses are 32 bits, whatever a writer left in the upper half.
        mask = 0xFFFFFFFF if system and system.get("Processor Arch") in ("X86", "ARM") else (1 << 64) - 1
        expect("exception code", ours.get("code"), f"0x{code:08X}")
        expect("exception address", ours.get("address"), f"0x{record.get('Exception Address', 0) & mask:016X}")
        expect("exception thread", ours.get("thread"), exception.get("Thread ID", 0))
        if code == 0xC0000005 and len(params) >= 2 and row["system"]["os"] == "windows":
            expect("access", ours.get("access"), {0: "read", 1: "write", 8: "execute"}.get(params[0]))
            expect("target", ours.get("target"), f"0x{params[1] & mask:016X}")

    modules = []
    for m in streams.get("ModuleList", {}).get("Modules", []):
        info = m.get("Version Info", {})
        fixed = info.get("Signature", 0) == 0xFEEF04BD

        def version(kind):
            high, low = info.get(f"{kind} Version High", 0), info.get(f"{kind} Version Low", 0)
            return f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}" if fixed and (kind == "File" or high or low) \
                else None
        path = str(m["Module Name"])
        modules.append({"name": path.replace("/", "\\").split("\\")[-1], "path": path,
                        "base": f"0x{m.get('Base of Image', 0):016X}", "size": m.get("Size of Image", 0),
                        "version": version("File"), "product_version": version("Product")})
    expect("modules", row["modules"], modules)

    comment = streams.get("CommentA")
    if comment is None:
        expect("report", row["report"], None)
    else:
        fields, lines = report_of(comment.get("Content", ""))
        ours = row["report"] or {"fields": {}, "lines": None}
        expect("report fields", list(ours["fields"].items()), list(fields.items()))
        expect("report lines", ours["lines"], lines)
    return diff


def lldb(program, dump, *commands, binaries=None):
    """What lldb-14 prints for `commands` on the dump, with the module files of the folder
    `binaries` at hand (it then unwinds by their unwind data, as crash-triage does)."""
    search = ["-o", f"settings set target.exec-search-paths {binaries}"] if binaries else []
    run = subprocess.run([program, "-b", *search, "-o", f"target create --core {dump}",
                          *(arg for command in commands for arg in ("-o", command))],
                         capture_output=True, timeout=120)
    return run.stdout.decode("utf-8", "replace")


def lldb_frames(program, dump, binaries):
    """The crashing thread's frame addresses as lldb-14 prints them."""
    out = lldb(program, dump, "bt", binaries=binaries)
    frames = {}
    for match in re.finditer(r"frame #(\d+): 0x([0-9a-fA-F]+)", out):
        frames.setdefault(int(match.group(1)), int(match.group(2), 16))
    return [frames[i] for i in range(len(frames)) if i in frames], out


def lldb_word_at_rsp(program, dump, binaries):
    """The 8-byte word at the crashing thread's RSP as lldb-14 reads it from the dump."""
    out = lldb(program, dump, "memory read -s8 -fx -c1 $rsp", binaries=binaries)
    match = re.search(r"^0x[0-9a-fA-F]+: (0x[0-9a-fA-F]+)", out, re.M)
    return int(match.group(1), 16) if match else None
