#!/usr/bin/env bash
# The release package: packs the built deliverables twice into folders at different
# paths and checks that each holds exactly the expected files, that SHA256SUMS checks,
# that the archive holds the same files as the folder, byte for byte, and that the two
# archives are identical; that a release folder configured before a change of the
# toolchain is built with the new compiler; and that crash-triage's Debian package and
# Windows zip hold what support staff need, that Debian's linter finds no error or
# warning in the package, and that the release's SHA256SUMS lists and checks all three.
#
# Usage: package_test.sh <windows build folder> <host build folder> <scratch folder>
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$1
host_build=$2
work=$3
rm -rf "$work"
mkdir -p "$work"

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

expected="Brisvane.exe
Calvorin.dll
INSTALL.txt
SHA256SUMS
check/Client.exe
check/crash-check.exe
check/nvwgf2umx.dll
example/client.cpp
example/client_version.rc.in
include/capture/context_block.h
symbols/Brisvane.exe/KEY/Brisvane.exe
symbols/Brisvane.pdb/KEY/Brisvane.pdb
symbols/Calvorin.dll/KEY/Calvorin.dll
symbols/Calvorin.pdb/KEY/Calvorin.pdb"

for run in one two/deeper; do
  mkdir -p "$work/$run"
  # Packed in a time zone east of UTC: a local time would show in the zip's entries.
  TZ=CET-1 SOURCE_DATE_EPOCH=1767225600 "$repo/scripts/package.sh" --no-build --build-dir="$build" \
    --linux-build-dir="$host_build" --out="$work/$run" >/dev/null
done
stage=$work/one/CrashCapture
archive=$work/one/CrashCapture.tar.gz
version=$(head -n 1 "$repo/VERSION")
deb_name=crash-triage_${version}_amd64.deb
zip_name=crash-triage-$version-windows-x64.zip

# The symbol store's keys are checked by triage_archive; here: one key folder each.
files=$(cd "$stage" && find . -type f | sed 's|^\./||; s|^\(symbols/[^/]*\)/[0-9A-Fa-f]*/|\1/KEY/|' | LC_ALL=C sort)
[ "$files" = "$expected" ] || fail "the folder holds $(tr '\n' ' ' <<<"$files")"

(cd "$stage" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not check"
sums=$(cut -d' ' -f3 "$stage/SHA256SUMS" | sed 's|^\(symbols/[^/]*\)/[0-9A-Fa-f]*/|\1/KEY/|' | LC_ALL=C sort)
[ "$sums" = "$(grep -vx SHA256SUMS <<<"$expected")" ] || fail "SHA256SUMS lists $(tr '\n' ' ' <<<"$sums")"

cmp -s "$stage/Calvorin.dll" "$build/capture/Calvorin.dll" || fail "Calvorin.dll is not the built one"
cmp -s "$stage/Brisvane.exe" "$build/notifier/Brisvane.exe" || fail "Brisvane.exe is not the built one"
cmp -s "$stage"/symbols/Calvorin.pdb/*/Calvorin.pdb "$build/capture/Calvorin.pdb" || fail "Calvorin.pdb is not the built one"
cmp -s "$stage"/symbols/Brisvane.pdb/*/Brisvane.pdb "$build/notifier/Brisvane.pdb" || fail "Brisvane.pdb is not the built one"
cmp -s "$stage/check/crash-check.exe" "$build/check/crash-check.exe" || fail "crash-check.exe is not the built one"
cmp -s "$stage/check/Client.exe" "$build/fixtures/client/Client.exe" || fail "check/Client.exe is not the sample client"

mkdir "$work/unpacked"
tar -C "$work/unpacked" -xzf "$archive"
diff -r "$stage" "$work/unpacked/CrashCapture" >/dev/null || fail "the archive differs from the folder"
listing=$(TZ=UTC tar -tvzf "$archive")
if grep -v ' 0/0 ' <<<"$listing" | grep -q .; then fail "archive entries not owned by 0/0"; fi
if grep -v '2026-01-01 00:00' <<<"$listing" | grep -q .; then fail "archive mtimes not fixed"; fi

for file in CrashCapture.tar.gz "$deb_name" "$zip_name" SHA256SUMS; do
  cmp -s "$work/one/$file" "$work/two/deeper/$file" || fail "two ${file}s of the same build differ"
done

# crash-triage for Debian: its /usr/share/doc text is the README's part for support,
# from its heading to the next; the rest of the package is lintian's to judge (files,
# owners, the manual page, copyright and changelog) and the install test's.
deb=$work/one/$deb_name
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/crash-triage/README.md.gz | zcat >"$work/support.md"
[ "$(head -n 1 "$work/support.md")" = "## For support" ] && [ "$(grep -c '^## ' "$work/support.md")" = 1 ] ||
  fail "the .deb's README.md.gz is not the README's part for support: $(grep '^## ' "$work/support.md")"
lint=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian: $lint"

# crash-triage for Windows: the program as built and two texts, their times in UTC (zip
# writes local times, which two packs in one time zone would agree on).
zip=$work/one/$zip_name
entries=$(TZ=UTC zipinfo -T "$zip" | awk 'NF == 8 {print $1, $7, $8}')
[ "$entries" = "-rwxr-xr-x 20260101.000000 crash-triage.exe
-rw-r--r-- 20260101.000000 LICENSES.txt
-rw-r--r-- 20260101.000000 README.txt" ] || fail "the zip holds $entries"
unzip -q -d "$work/zip" "$zip"
cmp -s "$work/zip/crash-triage.exe" "$build/triage/crash-triage.exe" || fail "the zip's crash-triage.exe is not the built one"

(cd "$work/one" && sha256sum --quiet -c SHA256SUMS) || fail "the release's SHA256SUMS does not check"
[ "$(cut -d' ' -f3 "$work/one/SHA256SUMS" | LC_ALL=C sort)" = "$(printf '%s\n' CrashCapture.tar.gz "$zip_name" "$deb_name" | LC_ALL=C sort)" ] ||
  fail "the release's SHA256SUMS lists $(cut -d' ' -f3 "$work/one/SHA256SUMS" | tr '\n' ' ')"

# A release folder configured before the toolchain changed (here: clang++-14, the same
# clang by another name) takes the compiler of the current toolchain, which CMake would
# keep from the first configuration otherwise. Configuring is all this needs.
source "$repo/scripts/lib.sh"
stale=$work/stale-release
with_release_sources bash -c 'sed -i "s/^set(CMAKE_CXX_COMPILER clang++)$/set(CMAKE_CXX_COMPILER clang++-14)/" \
  "$0/cmake/mingw-w64-x86_64.cmake" && cmake -S "$0" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$0/cmake/mingw-w64-x86_64.cmake"' \
  "$release_sources" "$stale" >/dev/null
compiler() { sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$stale"/CMakeFiles/*/CMakeCXXCompiler.cmake; }
first=$(compiler)
cmake() { [ "$1" = --build ] || command cmake "$@"; }
build_release "$stale"
unset -f cmake
[ "$first" = /usr/bin/clang++-14 ] && [ "$(compiler)" = /usr/bin/clang++ ] ||
  fail "a release folder first configured with $first is built with $(compiler)"

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "package checks passed"
