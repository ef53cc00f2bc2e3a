#!/usr/bin/env bash
# Without an X display Wine cannot create the message box, so MessageBoxW fails at once;
# the notifier must still end with exit code 0.
#
#   notifier_no_display_test.sh WINE_RUN BRISVANE_EXE LAUNCHER_EXE
set -uo pipefail
wine_run=$1 notifier=$2 launcher=$3
p=$(cd "$(dirname "$notifier")" && pwd)/$(basename "$notifier")
out=$(mktemp)
trap 'rm -f "$out"' EXIT
# Into a file, not a pipe: Wine processes that this run may start outlive it.
env -u DISPLAY "$wine_run" "$launcher" --timeout-ms=60000 --module=nvwgf2umx.dll "Z:${p//\//\\}" >"$out" 2>&1
rc=$?
cat "$out"
if [ "$rc" -ne 0 ] || ! grep -qx 'exit=0' "$out"; then
  echo "FAIL: expected exit code 0 without a display (launcher exit code $rc)"
  exit 1
fi
