#!/usr/bin/env bash
# Starts the real Brisvane.exe under Wine with the command lines the crash module gives it
# and reads its message box with BoxProbe: the exact text, the error icon, a single OK
# button; then closes the box and checks that the notifier ended with exit code 0. (Wine 8
# does not mark the box topmost, so that part of its type is checked in the unit tests.)
#
#   notifier_box_test.sh WINE_RUN BRISVANE_EXE BOX_PROBE_EXE LAUNCHER_EXE
# Needs DISPLAY (an X server such as the Xvfb of scripts/test.sh); skips (77) without it.
set -uo pipefail
wine_run=$1 notifier=$2 probe=$3 launcher=$4

if [ -z "${DISPLAY:-}" ]; then
  echo "SKIP: no X display; run through scripts/test.sh or set DISPLAY"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
windows_path() { local p; p=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); echo "Z:${p//\//\\}"; }
notifier_win=$(windows_path "$notifier")

# The texts as BoxProbe prints them: every line feed written as \n.
base='An unexpected problem occurred - game will be closed.\n\nTo improve your game experience please contact us in Support/Discord/Forum with details:\n- when/how it happened\n- screenshot of game window\n- latest .dmp file from Crash directory\n- your addons list/screenshot'
detail() { printf '%s' "$base\\n\\nDetected external module: $1\\n$2"; }

failures=0
fail() { echo "FAIL [$case_name]: $*"; failures=$((failures + 1)); }

expect_line() {  # file key expected
  local actual
  actual=$(grep -m1 "^$2=" "$1" | cut -d= -f2-)
  [ "$actual" == "$3" ] || fail "$2: expected <$3>, got <$actual>"
}

probe_options=()
run_case() {  # name expected-text launcher-option...
  case_name=$1
  local expected=$2
  shift 2
  "$wine_run" "$launcher" --timeout-ms=60000 "$@" "$notifier_win" >"$work/launch.out" 2>&1 &
  local launcher_pid=$!
  "$wine_run" "$probe" --timeout-ms=30000 "${probe_options[@]}" >"$work/probe.out" 2>"$work/probe.err"
  local probe_rc=$?
  wait "$launcher_pid"
  local launcher_rc=$?

  [ "$probe_rc" -eq 0 ] || fail "BoxProbe exit code $probe_rc: $(cat "$work/probe.out" "$work/probe.err")"
  expect_line "$work/probe.out" title "Game Crash"
  expect_line "$work/probe.out" text "$expected"
  expect_line "$work/probe.out" icon error
  expect_line "$work/probe.out" buttons "1:OK"
  expect_line "$work/probe.out" closed 1
  [ "$launcher_rc" -eq 0 ] || fail "launcher exit code $launcher_rc: $(cat "$work/launch.out")"
  expect_line "$work/launch.out" exit 0
  echo "case $case_name: $(grep -m1 '^commandline=' "$work/launch.out")"
}

run_case nvidia "$(detail nvwgf2umx.dll 'Update or clean-install the NVIDIA driver and disable GPU overlays.')" \
  --module=nvwgf2umx.dll
run_case overlay "$(detail GameOverlayRenderer64.dll 'Disable the named overlay and retry.')" \
  --module=GameOverlayRenderer64.dll
run_case table-order "$(detail d3d9_xsplit.dll 'Disable XSplit Game Source/overlay before restarting the client.')" \
  --module=d3d9_xsplit.dll
run_case unknown-module "$base" --module=Client.exe
run_case empty-module "$base" --module=
run_case no-option "$base"
run_case first-option-only "$base" "--tail=x --module='a b.dll' --module='d3d9.dll'"

# Installed under a folder with blanks, the runtime must still hand over the tail whole;
# the probe holds this box a moment, as a screenshot taker would.
mkdir -p "$work/Game Folder"
cp "$notifier" "$work/Game Folder/Brisvane.exe"
notifier_win=$(windows_path "$work/Game Folder/Brisvane.exe")
probe_options=(--hold-ms=200)
run_case folder-with-blanks "$(detail n64hooks.dll 'Restart the PC, repair the client, and disable conflicting overlays or security injectors.')" \
  --module=n64hooks.dll
probe_options=()

# The start-up, not the notifier, cuts the program name off the command line: a quote
# toggles anywhere in the name, so a blank between quotes stays in it, and a quote left
# open takes the rest of the line into it. Each line reads otherwise if that rule breaks.
run_case name-with-quoted-blank "$(detail nvwgf2umx.dll 'Update or clean-install the NVIDIA driver and disable GPU overlays.')" \
  "--line=Brisvane' --module='d3d9 x.dll "$'\t'" --module='nvwgf2umx.dll'"
run_case name-quote-left-open "$base" "--line='Brisvane.exe --module='d3d9.dll' x"

# Every box was closed with OK: none is left, and the probe says so with exit code 2.
case_name=none-left
"$wine_run" "$probe" --timeout-ms=200 >"$work/probe.out" 2>&1
rc=$?
[ "$rc" -eq 2 ] || fail "BoxProbe exit code $rc with no box: $(cat "$work/probe.out")"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all notifier box checks passed"
