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
prefix=$1
ready=$prefix/.crash-tests-ready-3
[ -f "$ready" ] && exit 0
export WINEPREFIX=$prefix WINEDEBUG=-all
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml,winemenubuilder.exe="}
mkdir -p "$prefix"
exec 9>"$prefix/.lock"
flock 9
[ -f "$ready" ] && exit 0
wine_bin=/usr/lib/wine/wine64
[ -x "$wine_bin" ] || wine_bin=$(command -v wine64 || command -v wine)
"$wine_bin" wineboot -i >/dev/null 2>&1 || true
"$wine_bin" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
"$wine_bin" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
"$wine_bin" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d Y /f >/dev/null 2>&1
nt='HKLM\Software\Microsoft\Windows NT\CurrentVersion'
"$wine_bin" reg add "$nt" /v CurrentVersion /t REG_SZ /d 10.0 /f >/dev/null 2>&1
"$wine_bin" reg add "$nt" /v CurrentMajorVersionNumber /t REG_DWORD /d 10 /f >/dev/null 2>&1
"$wine_bin" reg add "$nt" /v CurrentMinorVersionNumber /t REG_DWORD /d 0 /f >/dev/null 2>&1
"$wine_bin" reg add "$nt" /v CurrentBuild /t REG_SZ /d 19045 /f >/dev/null 2>&1
"$wine_bin" reg add "$nt" /v CurrentBuildNumber /t REG_SZ /d 19045 /f >/dev/null 2>&1
"$wine_bin" reg add "$nt" /v CSDVersion /t REG_SZ /d '' /f >/dev/null 2>&1
"$wine_bin" reg add "$nt" /v ProductName /t REG_SZ /d 'Windows 10 Pro' /f >/dev/null 2>&1
"$wine_bin" reg add 'HKLM\System\CurrentControlSet\Control\Windows' /v CSDVersion /t REG_DWORD /d 0 /f >/dev/null 2>&1
build=$(cd "$(dirname "$prefix")" && pwd)
if [ "$(basename "$prefix")" = wineprefix ] && [ -f "$build/CMakeCache.txt" ]; then
  stand_in="Z:${build//\//\\}\\fixtures\\wer_host\\WerHost.exe"
  aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
  "$wine_bin" reg add "$aedebug" /v Debugger /t REG_SZ /d "\"$stand_in\" -p %ld -e %ld" /f >/dev/null 2>&1
  "$wine_bin" reg add "$aedebug" /v Auto /t REG_SZ /d 1 /f >/dev/null 2>&1
fi
wineserver_bin=$(dirname "$wine_bin")/wineserver
[ -x "$wineserver_bin" ] || wineserver_bin=$(command -v wineserver)
"$wineserver_bin" -w
touch "$ready"
