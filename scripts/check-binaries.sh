#!/usr/bin/env bash
# Checks the two shipped binaries and their PDBs: Calvorin.dll and Brisvane.exe are built
# twice for release (from the checkout's files at the fixed path of release builds, see
# lib.sh) into two folders at different paths, only these two targets, and each build
# must give byte-identical files and PDBs. Each file stays within its size budget,
# carries no time stamp, no DWARF and no path, imports only DLLs that ship with Windows,
# and its debug directory names its PDB (without a folder) with the GUID and age the PDB
# holds. Neither PDB names the build folder or the checkout, so any checkout of a commit
# gives the same files.
#
# crash-triage's Debian package and Windows zip hold no PDB, and their binaries keep no
# path: the release's (the first build, from the fixed path) must be byte for byte the
# ones packed from the checkout's own builds of the host and windows presets, which lie
# elsewhere and are built from the checkout in place.
#
# Usage: check-binaries.sh [--keep] [--checkout-builds=WINDOWS_DIR,HOST_DIR]
#   --keep             leaves the build folders for a look
#   --checkout-builds  the presets' build folders, built already (the tests pass them);
#                      without it, crash-triage is brought up to date in build/windows
#                      and build/host first
# Exit code 0 when every check passed, 1 otherwise.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
pdbutil=${PDBUTIL:-llvm-pdbutil}
keep=0
checkout_builds=
for arg in "$@"; do
  case $arg in
    --keep) keep=1 ;;
    --checkout-builds=*) checkout_builds=${arg#--checkout-builds=} ;;
    *) echo "usage: check-binaries.sh [--keep] [--checkout-builds=WINDOWS_DIR,HOST_DIR]" >&2; exit 2 ;;
  esac
done
if [ -z "$checkout_builds" ]; then
  configure_and_build windows crash_triage >/dev/null
  configure_and_build host crash_triage >/dev/null
  checkout_builds=$repo/build/windows,$repo/build/host
fi

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
  # The debug directory's CodeView record: the PDB's bare name, GUID and age.
  local record pdb identity
  record=$(grep -Eo 'format RSDS signature [0-9a-f]{32} age [0-9]+ pdb .*\)' <<<"$headers" || true)
  pdb=$(dirname "$path")/${name%.*}.pdb
  if [ -z "$record" ]; then
    fail "$name has no CodeView record in its debug directory"
  elif [ ! -f "$pdb" ]; then
    fail "$name: no ${name%.*}.pdb beside it"
  else
    # llvm-pdbutil prints the GUID as {XXXXXXXX-XXXX-...}; the record holds the same digits.
    identity=$("$pdbutil" dump -summary "$pdb" |
      awk '/^ *Age:/ {age=$2} /^ *GUID:/ {g=$2; gsub(/[{}-]/, "", g); guid=tolower(g)} END {print guid, age}')
    [ "$record" = "format RSDS signature ${identity% *} age ${identity#* } pdb ${name%.*}.pdb)" ] ||
      fail "$name: debug directory says '$record', the PDB holds GUID and age '$identity'"
  fi
  if "$objdump" -h "$path" | grep -Eq '\.(debug_|stab)'; then
    fail "$name keeps DWARF or stabs sections"
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
  # The PDB names source files from /crash-capture; the compiler's own record of each
  # command line keeps the path of the release sources, but neither the checkout nor a
  # build folder may be named.
  for leak in "$repo" "$scratch"; do
    if [ -f "$pdb" ] && grep -aqF "$leak" "$pdb"; then fail "${name%.*}.pdb contains the path $leak"; fi
  done
}

started=$(date +%s)
build_release "$first" "$first-linux" triage-only
build_release "$second"
echo "two builds in $(($(date +%s) - started)) s"

for name in Calvorin.dll Brisvane.exe; do
  if ! a=$(built_file "$first" "$name") || ! b=$(built_file "$second" "$name"); then
    fail "$name was not built"
    continue
  fi
  check_file "$a" "$name"
  for pair in "$a $b" "${a%.*}.pdb ${b%.*}.pdb"; do
    set -- $pair
    if cmp -s "$1" "$2"; then
      echo "$(basename "$1"): both builds identical, $(stat -c %s "$1") bytes, sha256 $(sha256sum "$1" | cut -d' ' -f1)"
    else
      fail "$(basename "$1") differs between the two builds: $(cmp "$1" "$2" 2>&1 | head -n 1)"
    fi
  done
done

# crash-triage's packages from the release and from the checkout's own builds.
"$repo/scripts/package-triage.sh" --linux="$first-linux/triage/crash-triage" \
  --windows="$first/triage/crash-triage.exe" --out="$scratch/release-packages"
"$repo/scripts/package-triage.sh" --linux="${checkout_builds#*,}/triage/crash-triage" \
  --windows="${checkout_builds%,*}/triage/crash-triage.exe" --out="$scratch/checkout-packages" >/dev/null
for package in "$scratch"/release-packages/*; do
  name=$(basename "$package")
  if cmp -s "$package" "$scratch/checkout-packages/$name"; then
    echo "$name: the release's and the checkout's identical"
  else
    fail "$name differs between the release and the checkout's builds"
  fi
done
for pair in "$first-linux/triage/crash-triage ${checkout_builds#*,}/triage/crash-triage" \
            "$first/triage/crash-triage.exe ${checkout_builds%,*}/triage/crash-triage.exe"; do
  set -- $pair
  cmp -s "$1" "$2" || fail "$(basename "$1") differs: $1 and $2 ($(cmp "$1" "$2" 2>&1 | head -n 1))"
done
if grep -aqF -e "$repo" -e "$scratch" -e "$release_sources" "$first-linux/triage/crash-triage"; then
  fail "crash-triage names the checkout, the build folder or the release sources"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
