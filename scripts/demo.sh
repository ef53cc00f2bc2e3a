#!/usr/bin/env bash
# The main job: builds everything, lays out a sample game folder in build/demo, crashes
# the sample client inside a module named like the NVIDIA driver, lets the WER host
# stand-in (started by Wine as the client's AeDebug debugger, as Windows starts its WER
# host) call the module, prints the dump path and the crash report, and saves a
# screenshot of the notifier's box as build/demo/notifier-box.png, then reads the
# crash folder with the support team's crash-triage, with the binaries and PDBs of the
# release, and adds the dump to a crash history, where its bucket shows as new.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
"$repo/scripts/install-deps.sh"
cd "$repo"
configure_and_build windows

build=$repo/build/windows
# The deliverables by their targets' own folders: the tests build altered copies of
# both under the same names.
calvorin=$build/capture/Calvorin.dll
brisvane=$build/notifier/Brisvane.exe
box_probe=$(built_file "$build" BoxProbe.exe)

# The game folder: what a player's installation holds, plus the module to crash in.
demo=$repo/build/demo
rm -rf "$demo"
mkdir -p "$demo"
cp "$build/fixtures/client/Client.exe" "$calvorin" "$brisvane" "$build/fixtures/fault_modules/nvwgf2umx.dll" \
  "$demo/"
printf '[Locale]\r\nLanguage=de\r\n' >"$demo/Vostrel.ini"

trap stop_helpers EXIT
start_virtual_display
start_wineserver "$build/wineprefix"

echo "== Client.exe crashes inside nvwgf2umx.dll; the WER host stand-in calls Calvorin.dll"
# The stand-in finds the file for its results in the client's environment. The client's
# own output goes to a file too: the stand-in and the notifier, whose box stays open,
# inherit it, so a pipe would not end before the box is closed.
results=$demo/wer-host.txt
WER_HOST_OUTPUT=$(winpath "$results") "$repo/scripts/wine-run.sh" "$demo/Client.exe" \
  --crash=in:nvwgf2umx.dll --tag=demo '--text1=scene=harbour at dusk\r\n' \
  >"$demo/client.txt" 2>&1 </dev/null || true
# The client has ended; the stand-in created its results before it let the client go on.
for _ in $(seq 600); do
  grep -q '^host.done=1' "$results" 2>/dev/null && break
  sleep 0.1
done
grep -q '^host.done=1' "$results" 2>/dev/null || { echo "demo: the WER host stand-in did not run" >&2; exit 1; }
sed 's/^/   /' "$results"

dump=$(find "$demo/Crash" -name '*.dmp' | head -n 1)
[ -n "$dump" ] || { echo "demo: no dump was written" >&2; exit 1; }
echo "== Dump: $dump"
echo "   ($(winpath "$dump") for the client, $(stat -c %s "$dump") bytes)"
echo "== Crash report (${dump%.dmp}.txt, also the dump's comment stream):"
tr -d '\r' <"${dump%.dmp}.txt" | sed 's/^/   /'

echo "== The notifier's box"
# The first probe waits for the box and leaves it open for the screenshot; the second closes it.
"$repo/scripts/wine-run.sh" "$box_probe" --keep-open --timeout-ms=20000 | sed 's/^/   /'
screenshot=$demo/notifier-box.png
import -display "$DISPLAY" -window root "$screenshot"
"$repo/scripts/wine-run.sh" "$box_probe" --timeout-ms=20000 >/dev/null
echo "== Screenshot: $screenshot"

echo "== What support sees: crash-triage over the demo's Crash folder"
# Support keeps each release's binaries and PDBs: the game folder's files are the exact
# builds, and the PDBs lie in a folder of their own, as they never ship to players.
mkdir -p "$demo/symbols"
cp "$build/fixtures/client/Client.pdb" "$build/capture/Calvorin.pdb" "$build/notifier/Brisvane.pdb" "$demo/symbols/"
configure_and_build host crash_triage >/dev/null
triage=$repo/build/host/triage/crash-triage
"$triage" --binaries "$demo" --symbols "$demo/symbols" --html "$demo/triage.html" "$demo/Crash" | sed 's/^/   /'
echo "== Page: $demo/triage.html"

echo "== The crash history: the release archived as a symbol store, the dump added, its bucket new"
"$triage" archive --store "$demo/symstore" "$demo" | sed 's/^/   /'
"$triage" --db "$demo/crashes.db" --store "$demo/symstore" --html "$demo/history.html" "$demo/Crash" | sed 's/^/   /'
echo "== Page: $demo/history.html"
