#!/usr/bin/env bash
# Packs crash-triage the way support staff install tools, from binaries already built:
#   crash-triage_<version>_amd64.deb           for Debian 12: /usr/bin/crash-triage, its
#       manual page, and in /usr/share/doc/crash-triage the README's "For support" part,
#       the copyright and the changelog; Depends worked out from the libraries the binary
#       really links (dpkg-shlibdeps), Recommends llvm (llvm-symbolizer reads the PDBs).
#   crash-triage-<version>-windows-x64.zip     the static crash-triage.exe with a README
#       and the licences of what is linked into it.
# The version is VERSION's, the one the binaries print with --version. Both files are
# deterministic: every mtime SOURCE_DATE_EPOCH (the commit's time by default), entries
# sorted, owned by root, the zip's times in UTC; the same binaries give the same bytes.
# scripts/package.sh runs this after the release package.
#
# Usage: package-triage.sh --linux=FILE --windows=FILE --out=DIR
#   --linux=FILE    crash-triage built for Linux (stripped here, as Debian strips)
#   --windows=FILE  crash-triage.exe built for Windows (static and stripped already)
#   --out=DIR       where the two files go
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

usage() { echo "usage: package-triage.sh --linux=FILE --windows=FILE --out=DIR" >&2; exit 2; }
linux= windows= out=
for arg in "$@"; do
  case $arg in
    --linux=*) linux=${arg#--linux=} ;;
    --windows=*) windows=${arg#--windows=} ;;
    --out=*) out=${arg#--out=} ;;
    *) usage ;;
  esac
done
[ -n "$linux" ] && [ -n "$windows" ] && [ -n "$out" ] || usage
for file in "$linux" "$windows"; do
  [ -f "$file" ] || { echo "package-triage: $file is missing; build first" >&2; exit 1; }
done

version=$(head -n 1 "$repo/VERSION")
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$repo" log -1 --format=%ct 2>/dev/null || echo 0)
fi
export SOURCE_DATE_EPOCH  # dpkg-deb takes the members' times from it
packaging=$repo/packaging/crash-triage
deb=$out/crash-triage_${version}_amd64.deb
zip=$out/crash-triage-${version}-windows-x64.zip

work=$(mktemp -d "${TMPDIR:-/tmp}/crash-triage-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
rm -f "$out"/crash-triage_*_amd64.deb "$out"/crash-triage-*-windows-x64.zip

fill() {  # template: @VERSION@ and @DATE@ (the month of SOURCE_DATE_EPOCH) filled in
  sed -e "s/@VERSION@/$version/g" \
      -e "s/@DATE@/$(LC_ALL=C date -u -d "@$SOURCE_DATE_EPOCH" '+%B %Y')/g" "$1"
}

# The manual page is written by hand; an option that --help names and the page does
# not describe stops the build rather than ship a page that has fallen behind.
man=$packaging/crash-triage.1
undocumented=()
for option in $("$linux" --help | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u); do
  grep -qF -- "${option//-/\\-}" "$man" || undocumented+=("$option")
done
if [ ${#undocumented[@]} -ne 0 ]; then
  echo "package-triage: $man does not describe ${undocumented[*]}: add it to the page" >&2
  exit 1
fi

# --- crash-triage_<version>_amd64.deb -----------------------------------------------
root=$work/deb
doc=$root/usr/share/doc/crash-triage
mkdir -p "$root/DEBIAN" "$root/usr/bin" "$root/usr/share/man/man1" "$doc"
install -m 0755 "$linux" "$root/usr/bin/crash-triage"
# As Debian's dh_strip does: no symbols or debug information, no compiler notes; the
# build ID stays, and it is the same for every checkout (the paths are mapped away).
strip --remove-section=.comment --remove-section=.note --strip-unneeded "$root/usr/bin/crash-triage"
fill "$man" | gzip -9n >"$root/usr/share/man/man1/crash-triage.1.gz"

# The README's "For support" part, taken from the README at each build so the two never
# drift apart: from its heading to the next heading of the same level.
awk '/^## / { if (inside) exit; inside = ($0 == "## For support") } inside' "$repo/README.md" |
  gzip -9n >"$doc/README.md.gz"
[ "$(zcat "$doc/README.md.gz" | wc -l)" -gt 1 ] ||
  { echo "package-triage: README.md has no \"## For support\" section" >&2; exit 1; }
install -m 0644 "$packaging/copyright" "$doc/copyright"

maintainer=$(sed -n 's/^Maintainer: //p' "$packaging/control")
# A package of our own, not from Debian's archive: native (no Debian revision), so the
# changelog is changelog.gz, one entry per release, dated by SOURCE_DATE_EPOCH.
{
  echo "crash-triage ($version) bookworm; urgency=medium"
  echo
  echo "  * Release $version of crash-triage, the support tool that reads players'"
  echo "    crash dumps and groups them by what crashed where."
  echo
  echo " -- $maintainer  $(LC_ALL=C date -u -d "@$SOURCE_DATE_EPOCH" -R)"
} | gzip -9n >"$doc/changelog.gz"

# dpkg-shlibdeps wants a source package's debian/control to stand in; it reads the
# libraries from the binary's ELF header and asks dpkg which packages ship them.
mkdir -p "$work/shlibs/debian"
printf 'Source: crash-triage\n\nPackage: crash-triage\nArchitecture: amd64\n' >"$work/shlibs/debian/control"
depends=$(cd "$work/shlibs" && dpkg-shlibdeps -O "$root/usr/bin/crash-triage" |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "package-triage: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

# Modes as a package has them whatever the umask, then the size dpkg-gencontrol would
# give (one KiB per folder, each file rounded up to whole KiB).
chmod -R u=rwX,go=rX "$root"
installed_size=$(cd "$root" && find usr \( -type d -printf '1024\n' \) -o \( -type f -printf '%s\n' \) |
  awk '{ kib += int(($1 + 1023) / 1024) } END { print kib }')
sed -e "s/@VERSION@/$version/" -e "s/@DEPENDS@/$depends/" -e "s/@INSTALLED_SIZE@/$installed_size/" \
  "$packaging/control" >"$root/DEBIAN/control"
(cd "$root" && find usr -type f | LC_ALL=C sort | xargs md5sum) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
# Debian's linter has nothing to say about the package, not even with --pedantic --info
# (the package test runs it and fails on any error or warning).
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null

# --- crash-triage-<version>-windows-x64.zip -----------------------------------------
# Flat, as Windows' own "Extract All" makes a folder of the zip's name anyway. Texts with
# CR LF ends for Notepad of older Windows.
flat=$work/zip
mkdir -p "$flat"
install -m 0755 "$windows" "$flat/crash-triage.exe"
fill "$packaging/README-windows.txt" | sed 's/$/\r/' >"$flat/README.txt"
sed 's/$/\r/' "$packaging/copyright" >"$flat/LICENSES.txt"
chmod 0644 "$flat/README.txt" "$flat/LICENSES.txt"
find "$flat" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
# -X: no extra fields (owners, Unix times); the DOS times zip writes are local, so UTC.
(cd "$flat" && TZ=UTC zip -X -D -9 -q "$(realpath "$out")/$(basename "$zip")" crash-triage.exe LICENSES.txt README.txt)

for file in "$deb" "$zip"; do
  echo "package: $file ($(stat -c %s "$file") bytes, sha256 $(sha256sum "$file" | cut -d' ' -f1))"
done
