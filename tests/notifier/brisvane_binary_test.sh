#!/usr/bin/env bash
# Checks the built Brisvane.exe as a file: a GUI-subsystem program that needs no DLL
# beside it, whose only resource is a manifest asking for the invoker's rights, and
# which stays small.
#
#   brisvane_binary_test.sh BRISVANE_EXE
set -uo pipefail
exe=$1
objdump=x86_64-w64-mingw32-objdump
windres=x86_64-w64-mingw32-windres

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

headers=$("$objdump" -p "$exe") || { echo "FAIL: $objdump cannot read $exe"; exit 1; }
grep -Eq '^Subsystem[[:space:]]+00000002[[:space:]]+\(Windows GUI\)' <<<"$headers" ||
  fail "subsystem is not Windows GUI: $(grep '^Subsystem' <<<"$headers")"

# Only DLLs that every Windows installation has; none of the toolchain's runtime DLLs.
while read -r dll; do
  case "${dll,,}" in
    kernel32.dll | user32.dll | msvcrt.dll | ntdll.dll | gdi32.dll | advapi32.dll) ;;
    *) fail "imports $dll, which does not ship with Windows" ;;
  esac
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
grep -q 'DLL Name: USER32.dll' <<<"$headers" || fail "does not import USER32.dll"

resources=$(llvm-readobj --coff-resources "$exe") || { echo "FAIL: llvm-readobj cannot read $exe"; exit 1; }
grep -q 'Total Number of Resources: 1$' <<<"$resources" ||
  fail "expected exactly one resource: $(grep 'Total Number of Resources' <<<"$resources")"
grep -q 'Type: MANIFEST (ID 24)' <<<"$resources" || fail "no RT_MANIFEST resource"
grep -q 'Name: (ID 1)' <<<"$resources" || fail "the manifest is not resource id 1"
for unwanted in 'VERSION' 'ICON' 'GROUP_ICON' 'STRINGTABLE'; do
  ! grep -q "Type: $unwanted (ID" <<<"$resources" || fail "has a $unwanted resource"
done

manifest=$("$windres" -i "$exe" -O rc 2>/dev/null | sed -n '/RT_MANIFEST/,/^END/p' | tr -d '\n' | sed 's/""/"/g')
grep -q 'requestedExecutionLevel level="asInvoker" uiAccess="false"' <<<"$manifest" ||
  fail "manifest does not request asInvoker without uiAccess: $manifest"
! grep -q '<dependency' <<<"$manifest" || fail "manifest declares a dependency"

size=$(stat -c %s "$exe")
echo "Brisvane.exe: $size bytes, imports: $(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr '\n' ' ')"
[ "$size" -le 32768 ] || fail "$size bytes, more than 32 KiB"
"$objdump" -h "$exe" | grep -q '\.debug' && fail "carries debug sections (not stripped)"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all binary checks passed"
