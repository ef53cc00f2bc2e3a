#!/usr/bin/env bash
# Capture benchmark under Wine: for the same crashed sample client, the wall time of one
# whole OutOfProcessExceptionEventCallback call against a bare MiniDumpWriteDump of that
# client (same dump type 0x1865, same folder), alternating the two for several rounds,
# for a small client and for one with 512 MiB of touched heap and 100 extra modules;
# then the time from the callback's return to the notifier's box appearing. Writes the
# tables to docs/capture-benchmark.md. A benchmark, not a test: nothing is asserted.
#
# The stand-in starts the client itself here (its debugger-at-start mode), not as the
# AeDebug debugger the road tests use: the benchmark needs many timed calls on one crash.
#
# Usage: bench-capture.sh [--rounds=N] [--box-runs=N]   (defaults 9 and 5; about 9 minutes)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

rounds=9
box_runs=5
for arg in "$@"; do
  case $arg in
    --rounds=*) rounds=${arg#--rounds=} ;;
    --box-runs=*) box_runs=${arg#--box-runs=} ;;
    *) echo "usage: bench-capture.sh [--rounds=N] [--box-runs=N]" >&2; exit 2 ;;
  esac
done

heap_mib=512
module_count=100

cd "$repo"
configure_and_build windows calvorin Brisvane sample_client wer_host box_probe tiny_module \
  fault_nvwgf2umx notifier_recorder
build=$repo/build/windows
bench=$repo/build/bench
box_probe=$(built_file "$build" BoxProbe.exe)
rm -rf "$bench"
mkdir -p "$bench"

# The large client holds 512 MiB of its own plus Wine's; its dumps hold no full memory
# (a few hundred KB each), so memory is the only real demand.
avail_mib=$(awk '/^MemAvailable:/ {print int($2 / 1024)}' /proc/meminfo)
disk_mib=$(df -Pm "$bench" | awk 'NR == 2 {print $4}')
if [ "$avail_mib" -lt $((heap_mib + 1536)) ] || [ "$disk_mib" -lt 1024 ]; then
  echo "bench: needs $((heap_mib + 1536)) MiB of free memory and 1 GiB of disk;" \
    "has $avail_mib MiB and $disk_mib MiB" >&2
  exit 1
fi

# game folder, notifier (recorder: a stand-in that records its start and exits at once;
# real: Brisvane.exe; none), number of Tiny modules
lay_out() {
  local dir=$1 notifier=$2 modules=$3 i
  mkdir -p "$dir"
  cp "$build/fixtures/client/Client.exe" "$build/capture/Calvorin.dll" \
    "$build/fixtures/fault_modules/nvwgf2umx.dll" "$dir/"
  case $notifier in
    recorder) cp "$build/fixtures/notifier_recorder/NotifierRecorder.exe" "$dir/Brisvane.exe" ;;
    real) cp "$build/notifier/Brisvane.exe" "$dir/" ;;
  esac
  for ((i = 0; i < modules; i++)); do
    cp "$build/fixtures/tiny_module/Tiny.dll" "$dir/$(printf 'Tiny%03d.dll' "$i")"
  done
}

trap stop_helpers EXIT
start_virtual_display
start_wineserver "$build/wineprefix"

# label, notifier, modules, client options...
run_bench() {
  local label=$1 notifier=$2 modules=$3
  shift 3
  local dir=$bench/$label
  lay_out "$dir" "$notifier" "$modules"
  echo "== $label: $rounds rounds"
  # Output through a file: a notifier started by the module holds the host's stdout open.
  "$repo/scripts/wine-run.sh" "$build/fixtures/wer_host/WerHost.exe" --bench="$rounds" \
    --dll="$(winpath "$dir/Calvorin.dll")" -- "$(winpath "$dir/Client.exe")" \
    --crash=in:nvwgf2umx.dll "$@" >"$bench/$label.txt" </dev/null
  grep '^bench.round=' "$bench/$label.txt" | sed 's/^/   /'
  local dump
  dump=$(find "$dir/Crash" -name '*.dmp' | sort | tail -n 1)
  obj2yaml "$dump" >"$bench/$label.yaml"
}

large=(--touch-heap-mib=$heap_mib --load-modules=$module_count)
run_bench small "recorder" 0
run_bench small-no-notifier "none" 0
run_bench large "recorder" "$module_count" "${large[@]}"
run_bench large-no-notifier "none" "$module_count" "${large[@]}"

# From the callback's return to the box: a probe in the same prefix polls for the box
# every millisecond and notes the counter when it first sees it, then closes it.
echo "== box: $box_runs runs"
for ((run = 0; run < box_runs; run++)); do
  dir=$bench/box-$run
  lay_out "$dir" real 0
  "$repo/scripts/wine-run.sh" "$box_probe" --poll-ms=1 \
    --timeout-ms=60000 >"$bench/box-$run.probe.txt" </dev/null &
  probe=$!
  sleep 1  # the probe is looking before the client even starts
  "$repo/scripts/wine-run.sh" "$build/fixtures/wer_host/WerHost.exe" \
    --dll="$(winpath "$dir/Calvorin.dll")" -- "$(winpath "$dir/Client.exe")" \
    --crash=in:nvwgf2umx.dll >"$bench/box-$run.host.txt" </dev/null
  wait "$probe" || echo "   run $run: the probe saw no box"
done

python3 - "$bench" "$rounds" "$box_runs" "$heap_mib" "$module_count" <<'EOF'
import pathlib, re, statistics, subprocess, sys, datetime

bench = pathlib.Path(sys.argv[1])
rounds, box_runs, heap_mib, module_count = map(int, sys.argv[2:6])
repo = bench.parent.parent

def rows(label):
    out = []
    for line in (bench / f"{label}.txt").read_text().splitlines():
        if line.startswith("bench.round="):
            out.append(dict(kv.split("=", 1) for kv in line.split()))
    return out

def quartiles(values):
    if len(values) < 4:
        return min(values), max(values)
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], q[2]

def fmt(values):
    lo, hi = quartiles(values)
    return (f"{statistics.median(values):.0f} ({min(values):.0f}–{max(values):.0f}; "
            f"IQR {lo:.0f}–{hi:.0f})")

def dump_modules(label):
    text = (bench / f"{label}.yaml").read_text()
    found = re.search(r"- Type:\s+ModuleList\n\s+Modules:\s*\n(.*?)(?=\n  - Type:|\Z)", text, re.S)
    return len(re.findall(r"^\s+- Base of Image:", found.group(1), re.M)) if found else 0

def dump_bytes(label):
    dumps = sorted((bench / label / "Crash").glob("*.dmp"))
    return dumps[-1].stat().st_size if dumps else 0

labels = [("small", "small sample client", "recorder"),
          ("small-no-notifier", "small sample client", "absent"),
          ("large", f"{heap_mib} MiB touched heap, {module_count} extra modules", "recorder"),
          ("large-no-notifier", f"{heap_mib} MiB touched heap, {module_count} extra modules",
           "absent")]

table = ["| Client | Brisvane.exe | Modules | Capture ms: median (min–max; IQR) | "
         "Bare dump ms: median (min–max; IQR) | Ratio of medians | Per-round ratio: median "
         "(min–max) | One module walk ms (median) | Dump bytes: capture / bare |",
         "|---|---|---|---|---|---|---|---|---|"]
verdicts = []
for label, client, notifier in labels:
    r = rows(label)
    if not r:
        table.append(f"| {client} | {notifier} | – | no rounds | | | | | |")
        continue
    cap = [float(x["capture.ms"]) for x in r]
    bare = [float(x["bare.ms"]) for x in r]
    walk = [float(x["walk.ms"]) for x in r]
    ratios = [c / b for c, b in zip(cap, bare)]
    ratio = statistics.median(cap) / statistics.median(bare)
    ok = all(x["hr"] == "0x00000000" and x["claimed"] == "1" and x["bare.ok"] == "1" for x in r)
    table.append(
        f"| {client} | {notifier} | {r[0]['modules']} (dump: {dump_modules(label)}) | {fmt(cap)} | "
        f"{fmt(bare)} | **{ratio:.2f}** | {statistics.median(ratios):.2f} ({min(ratios):.2f}–"
        f"{max(ratios):.2f}) | {statistics.median(walk):.0f} | {dump_bytes(label)} / "
        f"{r[0]['bare.bytes']} |")
    verdicts.append((label, ratio, ok, statistics.median(cap) - statistics.median(bare),
                     statistics.median(walk)))

box = []
for run in range(box_runs):
    host = (bench / f"box-{run}.host.txt").read_text()
    probe_path = bench / f"box-{run}.probe.txt"
    probe = probe_path.read_text() if probe_path.exists() else ""
    ret = re.search(r"^return\.qpc=(\d+)", host, re.M)
    freq = re.search(r"^qpc\.frequency=(\d+)", host, re.M)
    found = re.search(r"^found\.qpc=(\d+)", probe, re.M)
    if ret and freq and found:
        box.append((int(found.group(1)) - int(ret.group(1))) * 1000.0 / int(freq.group(1)))

cpu = "unknown"
for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
    if line.startswith("model name"):
        cpu = line.split(":", 1)[1].strip()
        break
wine = subprocess.run(["/usr/lib/wine/wine64", "--version"], capture_output=True, text=True).stdout.strip()
commit = subprocess.run(["git", "-C", str(repo), "rev-parse", "--short", "HEAD"],
                        capture_output=True, text=True).stdout.strip()
cores = subprocess.run(["nproc"], capture_output=True, text=True).stdout.strip()

lines = []
lines.append("# Capture benchmark (under Wine)")
lines.append("")
lines.append(f"Made by `scripts/bench-capture.sh` on {datetime.date.today().isoformat()} at commit "
             f"`{commit}`: {cpu}, {cores} cores shared with other work, {wine}, Xvfb. "
             "All figures are wall times under Wine; none were taken on Windows.")
lines.append("")
lines.append("## What is measured")
lines.append("")
lines.append(
    "`WerHost.exe --bench=N` (the WER host stand-in) starts the sample client under the debugger "
    "API, lets it crash inside `nvwgf2umx.dll` and keeps it stopped at the exception. Then, "
    f"{rounds} times and for the same crashed client, it times with QueryPerformanceCounter:")
lines.append("")
lines.append("- **capture**: one whole `OutOfProcessExceptionEventCallback` call of `Calvorin.dll` "
             "(naming, two reads of the crash context block, two module walks, the report, the "
             "dump to a `.tmp` file, flush, size check, rename, the `.txt`, the notifier's start);")
lines.append("- **bare dump**: `CreateFileW`, `MiniDumpWriteDump` with the same dump type 0x1865 "
             "and exception parameter but no comment stream, `CloseHandle`, into the same `Crash` "
             "folder (the file is deleted after each round, outside the timing).")
lines.append("")
lines.append("Even rounds time the capture first, odd rounds the bare dump first. The module walk "
             "column times one Toolhelp module snapshot walk of the client on its own (the capture "
             "makes two). \"recorder\": `Brisvane.exe` is a stand-in that records its command line "
             "and exits at once, so the capture pays for a real process start; \"absent\": no "
             "`Brisvane.exe`, the capture starts nothing. The large client allocates "
             f"{heap_mib} MiB from its heap in 1 MiB blocks, writes every page and loads "
             f"{module_count} copies of a small DLL under distinct names (`Tiny000.dll` ...). "
             "Dump type 0x1865 holds no full memory, so the heap enters the dump only as "
             "memory-information entries; the modules add to every module walk and to the "
             "dump's module list.")
lines.append("")
lines.append("## Capture against a bare dump")
lines.append("")
lines.extend(table)
lines.append("")
lines.append("Target: the whole capture costs at most 1.10 times the bare dump. Read the "
             "verdicts below with the spread in the table and the notes at the end: under Wine "
             "on shared cores, round-to-round noise is larger than the difference measured.")
lines.append("")
for label, ratio, ok, extra, walk in verdicts:
    state = "within" if ratio <= 1.10 else "above"
    lines.append(f"- `{label}`: ratio of medians {ratio:.2f}, {state} the target; median capture "
                 f"minus median bare dump {extra:+.0f} ms; one module walk {walk:.0f} ms"
                 f"{'' if ok else '; SOME ROUNDS FAILED (see build/bench)'}.")
lines.append("")
lines.append("## From the callback's return to the notifier's box")
lines.append("")
lines.append("`BoxProbe.exe --poll-ms=1` polls `FindWindowW` for the visible box titled "
             "\"Game Crash\" and notes the counter when it first sees it; the stand-in prints the "
             "counter right after the callback returned (both QueryPerformanceCounter in the same "
             "Wine session). Small client, real `Brisvane.exe`.")
lines.append("")
if box:
    lines.append("| Runs | Median ms | Min–max ms |")
    lines.append("|---|---|---|")
    lines.append(f"| {len(box)} of {box_runs} | {statistics.median(box):.0f} | "
                 f"{min(box):.0f}–{max(box):.0f} |")
else:
    lines.append("No run saw the box (see build/bench/box-*.txt).")
lines.append("")
notes = repo / "docs" / "capture-benchmark-notes.md"
if notes.exists():
    lines.append(notes.read_text().rstrip())
    lines.append("")
out = repo / "docs" / "capture-benchmark.md"
out.write_text("\n".join(lines))
print("\n".join(lines))
print(f"\nwritten to {out}")
EOF
