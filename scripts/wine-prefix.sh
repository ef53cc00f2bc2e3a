#!/usr/bin/env bash
# Creates a Wine prefix for tests once:
# - no crash dialog of Wine's own for crashing fixtures;
# - unmanaged windows, so that closing a box does not wait for a window manager;
# - Windows 10 22H2 (build 19045) as the version every program sees. Wine 8 makes new
#   prefixes Windows 7 (6.1.7601), and its own version names end at Windows 10 1903
#   ("win10", build 18362), older than the WER the stand-in plays; from these registry
#   values (the ones winecfg writes for a version) it reports the build they name. A
#   program's own HKCU\Software\Wine\AppDefaults\<exe> Version (win7, win10) still makes
#   it see an older Windows;
# - the WER host stand-in as the AeDebug debugger. With Auto=1, Wine starts the debugger
#   for an exception that no handler of the process took, as a child of the crashed
#   process, with "-p <process id> -e <event>": the way Windows starts its WER host. The
#   stand-in lies in the build folder that holds the prefix
#   (<build>/wineprefix -> <build>/fixtures/wer_host/WerHost.exe); a prefix elsewhere gets
#   no debugger of ours.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
prefix=$1
ready=$prefix/.crash-tests-ready-3
[ -f "$ready" ] && exit 0
export WINEPREFIX=$prefix WINEDEBUG=-all
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-$base_dll_overrides}
mkdir -p "$prefix"
exec 9>"$prefix/.lock"
flock 9
[ -f "$ready" ] && exit 0
wine_bin=$(wine_binary)
reg_add() {  # key, value name, type, data
  "$wine_bin" reg add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null 2>&1
}
"$wine_bin" wineboot -i >/dev/null 2>&1 || true
reg_add 'HKCU\Software\Wine\WineDbg' ShowCrashDialog REG_DWORD 0
reg_add 'HKCU\Software\Wine\X11 Driver' Managed REG_SZ N
reg_add 'HKCU\Software\Wine\X11 Driver' Decorated REG_SZ Y
nt='HKLM\Software\Microsoft\Windows NT\CurrentVersion'
reg_add "$nt" CurrentVersion REG_SZ 10.0
reg_add "$nt" CurrentMajorVersionNumber REG_DWORD 10
reg_add "$nt" CurrentMinorVersionNumber REG_DWORD 0
reg_add "$nt" CurrentBuild REG_SZ 19045
reg_add "$nt" CurrentBuildNumber REG_SZ 19045
reg_add "$nt" CSDVersion REG_SZ ''
reg_add "$nt" ProductName REG_SZ 'Windows 10 Pro'
reg_add 'HKLM\System\CurrentControlSet\Control\Windows' CSDVersion REG_DWORD 0
build=$(cd "$(dirname "$prefix")" && pwd)
if [ "$(basename "$prefix")" = wineprefix ] && [ -f "$build/CMakeCache.txt" ]; then
  aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
  reg_add "$aedebug" Debugger REG_SZ "\"$(winpath "$build/fixtures/wer_host/WerHost.exe")\" -p %ld -e %ld"
  reg_add "$aedebug" Auto REG_SZ 1
fi
wineserver_bin=$(dirname "$wine_bin")/wineserver
[ -x "$wineserver_bin" ] || wineserver_bin=$(command -v wineserver)
"$wineserver_bin" -w
touch "$ready"
