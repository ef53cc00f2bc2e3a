#!/usr/bin/env bash
# Builds the release package in one command: the two deliverables (windows preset,
# Release) with a symbol store of them and their PDBs in symbols/, the crash context block header, the sample client's source as the
# integration example, crash-check.exe with the sample client and fault module it crashes
# (check/), INSTALL.txt and SHA256SUMS, as the folder build/package/CrashCapture
# and the archive build/package/CrashCapture.tar.gz. The archive is deterministic: sorted
# entries, owner 0, every mtime the commit's time (SOURCE_DATE_EPOCH), gzip without a name
# or time stamp. Beside it, scripts/package-triage.sh packs the support tool as
# crash-triage_<version>_amd64.deb and crash-triage-<version>-windows-x64.zip, and
# SHA256SUMS lists the three files of the release.
#
# Usage: package.sh [--no-build] [--build-dir=DIR] [--linux-build-dir=DIR] [--out=DIR]
#   --no-build             take the binaries already built in the build folders
#   --build-dir=DIR        the Windows build folder (default build/release, built for
#                          release from the checkout's files at the fixed path of release
#                          builds, see lib.sh)
#   --linux-build-dir=DIR  the Linux build folder of crash-triage (default: the Windows
#                          one's path followed by -linux)
#   --out=DIR              where the folder and the archives go (default build/package)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build_dir=$repo/build/release
linux_build_dir=
out=$repo/build/package
do_build=1
for arg in "$@"; do
  case $arg in
    --no-build) do_build=0 ;;
    --build-dir=*) build_dir=${arg#--build-dir=} ;;
    --linux-build-dir=*) linux_build_dir=${arg#--linux-build-dir=} ;;
    --out=*) out=${arg#--out=} ;;
    *) echo "usage: package.sh [--no-build] [--build-dir=DIR] [--linux-build-dir=DIR] [--out=DIR]" >&2; exit 2 ;;
  esac
done
linux_build_dir=${linux_build_dir:-$build_dir-linux}

if [ "$do_build" = 1 ]; then
  "$repo/scripts/install-deps.sh"
  cd "$repo"
  check_build_folder "$build_dir" || exit 1
  check_build_folder "$linux_build_dir" || exit 1
  mkdir -p "$build_dir" "$linux_build_dir"
  build_release "$build_dir" "$linux_build_dir"
fi

dll=$build_dir/capture/Calvorin.dll
exe=$build_dir/notifier/Brisvane.exe
# crash-check, for the studio's own Windows machines (never shipped to players), and what
# it crashes: the sample client and the module named like a GPU driver.
check_files=("$build_dir/check/crash-check.exe" "$build_dir/fixtures/client/Client.exe"
             "$build_dir/fixtures/fault_modules/nvwgf2umx.dll")
for file in "$dll" "$exe" "${dll%.dll}.pdb" "${exe%.exe}.pdb" "${check_files[@]}"; do
  [ -f "$file" ] || { echo "package: $file is missing; build first" >&2; exit 1; }
done

# The time every entry carries: the commit's, so that the same commit packs the same bytes.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$repo" log -1 --format=%ct 2>/dev/null || echo 0)
fi

name=CrashCapture
stage=$out/$name
rm -rf "$stage" "$out/$name.tar.gz"
mkdir -p "$stage/include/capture" "$stage/example" "$stage/symbols" "$stage/check"
install -m 0755 "$dll" "$exe" "$stage/"
install -m 0755 "${check_files[@]}" "$stage/check/"
# The two files and the PDBs whose GUID and age their debug directories carry, laid out as
# a symbol store (name/key/name, as debuggers and crash-triage --store look them up):
# support needs them to name functions and lines in a dump of a crash inside our own code.
"$linux_build_dir/triage/crash-triage" archive --store "$stage/symbols" "$dll" "$exe" "${dll%.dll}.pdb" "${exe%.exe}.pdb" >/dev/null
find "$stage/symbols" -type f -exec chmod 0644 {} +
install -m 0644 "$repo/capture/context_block.h" "$stage/include/capture/"
install -m 0644 "$repo/tests/fixtures/sample_client/client.cpp" \
  "$repo/tests/fixtures/sample_client/client_version.rc.in" "$stage/example/"
install -m 0644 "$repo/packaging/INSTALL.txt" "$stage/"
(cd "$stage" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort |
   xargs sha256sum >SHA256SUMS)
chmod 0644 "$stage/SHA256SUMS"
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

tar -C "$out" --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
  --format=gnu -cf - "$name" | gzip -9 -n >"$out/$name.tar.gz"

echo "package: $stage"
echo "package: $out/$name.tar.gz ($(stat -c %s "$out/$name.tar.gz") bytes," \
  "sha256 $(sha256sum "$out/$name.tar.gz" | cut -d' ' -f1))"

export SOURCE_DATE_EPOCH
"$repo/scripts/package-triage.sh" --linux="$linux_build_dir/triage/crash-triage" \
  --windows="$build_dir/triage/crash-triage.exe" --out="$out"
(cd "$out" && sha256sum "$name.tar.gz" crash-triage_*_amd64.deb crash-triage-*-windows-x64.zip >SHA256SUMS)
echo "package: $out/SHA256SUMS"
