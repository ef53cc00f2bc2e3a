#!/usr/bin/env bash
# Checks the two shipped binaries: Calvorin.dll and Brisvane.exe are built twice from
# scratch into two folders at different paths (only these two targets), and each build
# must give byte-identical files that stay within their size budgets, carry no time
# stamp, no debug directory and no build path, and import only DLLs that ship with
# Windows.
#
# Usage: check-binaries.sh [--keep]   (--keep leaves the two build folders for a look)
# Exit code 0 when every check passed, 1 otherwise.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
keep=0
[ "${1:-}" = --keep ] && keep=1

# Budgets in bytes, and the DLLs every Windows installation has (lower case).
declare -A budget=([Calvorin.dll]=65536 [Brisvane.exe]=32768)
system_dlls="kernel32.dll user32.dll dbghelp.dll version.dll msvcrt.dll"

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# Two roots of different names and depths: a path that leaks into a file makes them differ.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/crash-binaries.XXXXXX")
cleanup() { if [ "$keep" = 0 ]; then rm -rf "$scratch"; else echo "builds kept in $scratch"; fi; }
trap cleanup EXIT
first=$scratch/first
second=$scratch/second-build/at/another/depth
mkdir -p "$(dirname "$second")"

build() {  # folder
  cmake -S "$repo" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >"$1.configure.log" 2>&1 ||
    { cat "$1.configure.log"; return 1; }
  cmake --build "$1" --target calvorin Brisvane -j2 >"$1.build.log" 2>&1 ||
    { cat "$1.build.log"; return 1; }
}

built_file() {  # build folder, file name
  find "$1" -name "$2" -type f -not -path '*/CMakeFiles/*' | head -n 1
}

check_file() {  # path, file name
  local path=$1 name=$2 headers size imports dll
  size=$(stat -c %s "$path")
  echo "$name: $size bytes (budget ${budget[$name]})"
  [ "$size" -le "${budget[$name]}" ] || fail "$name is $size bytes, over ${budget[$name]}"

  headers=$("$objdump" -p "$path")
  # The linker leaves the header's time stamp zero with --no-insert-timestamp.
  grep -q '^Time/Date[[:space:]]*Thu Jan  1 00:00:00 1970' <<<"$headers" ||
    fail "$name carries a time stamp: $(grep '^Time/Date' <<<"$headers")"
  # The export directory and the resource directories have time stamps of their own.
  if grep -Eq '^Time/Date stamp[[:space:]]+[^0[:space:]]' <<<"$headers"; then
    fail "$name has a time stamp in its export directory"
  fi
  if grep -Eo 'Time: [0-9a-fA-F]+' <<<"$headers" | grep -vq 'Time: 00000000'; then
    fail "$name has a time stamp in its resource directory"
  fi
  # Data directory entry 6 is the debug directory (CodeView record, build id, time stamp).
  grep -Eq '^Entry 6 0+ 0+ Debug Directory' <<<"$headers" ||
    fail "$name has a debug directory: $(grep 'Debug Directory' <<<"$headers")"
  if "$objdump" -h "$path" | grep -Eq '\.(buildid|debug_|stab)'; then
    fail "$name keeps debug or build-id sections"
  fi

  imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
  echo "$name imports: $(tr '\n' ' ' <<<"$imports")"
  for dll in $imports; do
    [[ " $system_dlls " == *" $dll "* ]] || fail "$name imports $dll, which Windows does not ship"
  done
  grep -qx kernel32.dll <<<"$imports" || fail "$name has no import table that names kernel32.dll"

  # Neither the source tree nor a build folder may be named inside.
  for leak in "$repo" "$scratch" /usr/share/mingw-w64 /build/; do
    if grep -aqF "$leak" "$path"; then fail "$name contains the path $leak"; fi
  done
}

started=$(date +%s)
build "$first"
build "$second"
echo "two builds in $(($(date +%s) - started)) s"

for name in Calvorin.dll Brisvane.exe; do
  a=$(built_file "$first" "$name")
  b=$(built_file "$second" "$name")
  if [ -z "$a" ] || [ -z "$b" ]; then
    fail "$name was not built"
    continue
  fi
  check_file "$a" "$name"
  if cmp -s "$a" "$b"; then
    echo "$name: both builds identical, sha256 $(sha256sum "$a" | cut -d' ' -f1)"
  else
    fail "$name differs between the two builds: $(cmp "$a" "$b" | head -n 1)"
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
