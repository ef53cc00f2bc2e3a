"""Writes minidumps of the shape our capture leaves, without Windows: for the bad-input
and HTML tests, the fuzz seeds and the benchmark. The real dumps of the tests come from
Wine's MiniDumpWriteDump and LLVM's yaml2obj; these only vary what those cannot (many
dumps, many days, large sparse memory)."""
import struct

SYSTEM_INFO, EXCEPTION, MODULE_LIST, THREAD_LIST, MEMORY64, COMMENT, MISC = 7, 6, 4, 3, 9, 10, 15


class Dump:
    def __init__(self, stream_count, time_stamp=0):
        self.count = stream_count
        self.time_stamp = time_stamp
        self.data = bytearray(32 + 12 * stream_count)
        self.directory = []
        self.memory_tail = 0

    def add(self, blob):
        self.data += b"\0" * (-len(self.data) % 4)
        rva = len(self.data)
        self.data += blob
        return rva

    def string(self, text):
        units = text.encode("utf-16-le")
        return self.add(struct.pack("<I", len(units)) + units + b"\0\0")

    def stream(self, kind, blob):
        self.directory.append((kind, len(blob), self.add(blob)))

    def system_info(self, arch=9, platform=2, version=(10, 0, 19045), csd=""):
        self.stream(SYSTEM_INFO, struct.pack("<HHHBBIIIIIHH24s", arch, 6, 0, 8, 1, *version, platform,
                                             self.string(csd), 0, 0, b""))

    def exception(self, thread, code, address, parameters=(), context=b""):
        params = list(parameters) + [0] * (15 - len(parameters))
        self.stream(EXCEPTION, struct.pack("<II", thread, 0) +
                    struct.pack("<IIQQII15Q", code, 0, 0, address, len(parameters), 0, *params) +
                    struct.pack("<II", len(context), self.add(context) if context else 0))

    def modules(self, modules):
        """modules: (path, base, size, (a, b, c, d) or None)"""
        entries = b""
        for path, base, size, version in modules:
            name = self.string(path)
            info = (struct.pack("<13I", 0xFEEF04BD, 0x10000, version[0] << 16 | version[1],
                                version[2] << 16 | version[3], 0, 0, 0x3F, 0, 0x40004, 2, 0, 0, 0)
                    if version else b"\0" * 52)
            record = b"RSDS" + bytes(range(16)) + struct.pack("<I", 1) + path.split("\\")[-1].encode() + b".pdb\0"
            entries += struct.pack("<QIIII", base, size, 0, 0, name) + info + \
                struct.pack("<IIIIQQ", len(record), self.add(record), 0, 0, 0, 0)
        self.stream(MODULE_LIST, struct.pack("<I", len(modules)) + entries)

    def threads(self, threads, context_size=1232):
        """threads: (id, stack start, stack bytes)"""
        entries = b""
        for tid, start, stack in threads:
            stack_rva = self.add(stack)
            context_rva = self.add(b"\0" * context_size)
            entries += struct.pack("<IIIIQQIIII", tid, 0, 32, 0, 0, start, len(stack), stack_rva, context_size,
                                   context_rva)
        self.stream(THREAD_LIST, struct.pack("<I", len(threads)) + entries)

    def comment(self, text):
        self.stream(COMMENT, text + b"\0")

    def misc(self, process_id):
        self.stream(MISC, struct.pack("<6I", 24, 1, process_id, 0, 0, 0))

    def memory64(self, ranges):
        """Full-memory ranges (start, size); their bytes follow the dump as a sparse tail."""
        blob_size = 16 + 16 * len(ranges)
        base = len(self.data) + (-len(self.data) % 4) + blob_size
        self.stream(MEMORY64, struct.pack("<QQ", len(ranges), base) +
                    b"".join(struct.pack("<QQ", s, n) for s, n in ranges))
        self.memory_tail = sum(n for _, n in ranges)

    def bytes(self):
        assert len(self.directory) == self.count, "declared stream count differs from the streams added"
        out = bytearray(self.data)
        struct.pack_into("<IIIIIIQ", out, 0, 0x504D444D, 0xA793, self.count, 32, 0, self.time_stamp, 0x1865)
        for i, (kind, size, rva) in enumerate(self.directory):
            struct.pack_into("<III", out, 32 + 12 * i, kind, size, rva)
        return bytes(out)

    def write(self, path):
        with open(path, "wb") as f:
            f.write(self.bytes())
            if self.memory_tail:
                f.truncate(f.tell() + self.memory_tail)  # sparse: costs no disk


def report_text(code, address, thread, module, advice, modules, client_text=b""):
    """The capture's report text for these values."""
    lines = [b"crash.schema=2", b"primary.captured=true", b"primary.source=wer-out-of-process",
             b"primary.synthetic=false", b"primary.code=0x%08X" % code, b"primary.address=0x%016X" % address,
             b"primary.thread=%d" % thread, b"secondary.count=0", b"fault.module=" + (module or b"unknown"),
             b"fault.advice=" + (advice or b"none")]
    text = b"".join(l + b"\r\n" for l in lines) + client_text
    return text + b"".join(b"runtime.module.%d=%s\r\n" % (i, m) for i, m in enumerate(modules[:128]))


def capture_like(path, *, time_stamp, code=0xC0000005, fault=("nvwgf2umx.dll", 0x1382), client_version=(10, 2, 0, 7),
                 driver_version=(31, 0, 15, 5222), extra_modules=0, client_text=b"", memory=(), access=(1, 0)):
    """A dump as our capture writes it, crashed in `fault` (module name, offset) or in no module."""
    modules = [("C:\\Games\\Quorvandel\\Client.exe", 0x140000000, 0x54000, client_version),
               ("C:\\Windows\\System32\\ntdll.dll", 0x7FFB40000000, 0x1F8000, (10, 0, 19041, 3636)),
               ("C:\\Windows\\System32\\KERNEL32.DLL", 0x7FFB3F000000, 0xBE000, (10, 0, 19041, 3636))]
    modules += [("C:\\Windows\\System32\\mod%03d.dll" % i, 0x7FF900000000 + i * 0x100000, 0x80000, (10, 0, 19041, i))
                for i in range(extra_modules)]
    address = 0x10
    if fault:
        base = 0x7FFB2C400000 + (sum(fault[0].encode()) & 0xFF) * 0x1000000
        modules.append(("C:\\Windows\\System32\\DriverStore\\" + fault[0], base, 0x2000000, driver_version))
        address = base + fault[1]
    names = [m[0].split("\\")[-1].encode() for m in modules]
    d = Dump(7 + bool(memory), time_stamp)
    d.system_info()
    d.misc(4242)
    d.threads([(11872, 0x21E000, b"\xAA" * 4096)])
    d.modules(modules)
    d.exception(11872, code, address, access if code == 0xC0000005 else ())
    fault_name = fault[0].encode() if fault else None
    d.comment(report_text(code, address, 11872, fault_name, None, names, client_text))
    d.stream(0, b"")  # an unused entry, as Windows leaves them
    if memory:
        d.memory64(memory)
    d.write(path)
