#!/usr/bin/env bash
# Runs a Windows program under Wine in the prefix of the build folder that holds it, so
# test runs never touch the user's own prefix. Used by CTest as the cross-compiling
# emulator and by the demo. The prefix is made on first use.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
wine_bin=$(wine_binary)

if [ -z "${WINEPREFIX:-}" ]; then
  # The build folder is the nearest ancestor of the program holding CMakeCache.txt.
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" != / ] || dir=$(cd "$(dirname "$1")" && pwd)
  export WINEPREFIX="$dir/wineprefix"
fi
check_build_folder "$WINEPREFIX" || exit 1
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-$base_dll_overrides}

"$here/wine-prefix.sh" "$WINEPREFIX"
exec "$wine_bin" "$@"
