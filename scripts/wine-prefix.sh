#!/usr/bin/env bash
# Creates a Wine prefix for tests once: no crash dialog of Wine's own for crashing
# fixtures, and unmanaged windows so that closing a box does not wait for a window manager.
set -euo pipefail
prefix=$1
[ -f "$prefix/.crash-tests-ready" ] && exit 0
export WINEPREFIX=$prefix WINEDEBUG=-all
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml,winemenubuilder.exe="}
mkdir -p "$prefix"
exec 9>"$prefix/.lock"
flock 9
[ -f "$prefix/.crash-tests-ready" ] && exit 0
wine_bin=/usr/lib/wine/wine64
[ -x "$wine_bin" ] || wine_bin=$(command -v wine64 || command -v wine)
"$wine_bin" wineboot -i >/dev/null 2>&1 || true
"$wine_bin" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
"$wine_bin" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
"$wine_bin" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d Y /f >/dev/null 2>&1
wineserver_bin=$(dirname "$wine_bin")/wineserver
[ -x "$wineserver_bin" ] || wineserver_bin=$(command -v wineserver)
"$wineserver_bin" -w
touch "$prefix/.crash-tests-ready"
