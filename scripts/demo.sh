#!/usr/bin/env bash
# The main job: builds everything and shows the crash notifier's box for a sample fault
# module on a virtual display, saving a screenshot.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
"$repo/scripts/install-deps.sh"
cd "$repo"
configure_and_build windows

build=$repo/build/windows
demo=$repo/build/demo
mkdir -p "$demo"
trap stop_helpers EXIT
start_virtual_display
start_wineserver "$build/wineprefix"

notifier=$build/notifier/Brisvane.exe
probe=$build/tests/fixtures/box_probe/BoxProbe.exe
# Wine would escape the double quotes of a Unix argument, so the notifier's command line
# is composed on the Windows side, exactly as the crash module composes it.
"$repo/scripts/wine-run.sh" "$build/tests/fixtures/launcher/Launcher.exe" \
  --module=nvwgf2umx.dll "Z:${notifier//\//\\}" >"$demo/notifier.out" 2>&1 &
launcher_pid=$!

echo "The notifier's box as the player sees it:"
"$repo/scripts/wine-run.sh" "$probe" --timeout-ms=30000 --keep-open | tee "$demo/box.txt"
screenshot=$demo/notifier-box.png
import -window root "$screenshot"
"$repo/scripts/wine-run.sh" "$probe" --timeout-ms=30000 | grep '^closed='
wait "$launcher_pid"
grep -E '^(commandline|exit)=' "$demo/notifier.out"
echo "Screenshot: $screenshot"
