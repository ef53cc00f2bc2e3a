#!/usr/bin/env bash
# crash-triage's Debian package on this machine, as a support engineer installs it:
# dpkg -i, then the installed crash-triage's --help and --version, one real dump read
# by it, its manual page found by man; then dpkg -r, leaving the machine as it was,
# also when a check fails half-way. Needs root (CI runs as root); skipped otherwise.
#
# Usage: install_test.sh <crash-triage for Linux> <crash-triage.exe> <scratch folder>
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
skip=77  # SKIP_RETURN_CODE in CMakeLists.txt
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: installing a package needs root (CI runs as root); run the tests as root for this one"
  exit "$skip"
fi
rm -rf "$3"
"$repo/scripts/package-triage.sh" --linux="$1" --windows="$2" --out="$3" >/dev/null
deb=$(echo "$3"/crash-triage_*_amd64.deb)

# Checkouts of this project on one machine take turns: one test's dpkg -r would pull the
# package from under another's checks.
exec 9>/tmp/crash-triage-install-test.lock
flock 9
status() { dpkg-query -W -f='${db:Status-Status}' crash-triage 2>/dev/null || true; }
if [ -n "$(status)" ] && [ "$(status)" != not-installed ]; then
  echo "SKIPPED: crash-triage $(dpkg-query -W -f='${Version}' crash-triage) is on this machine" \
    "already ($(status)); the test would replace it"
  exit "$skip"
fi

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
remove() {
  if [ -n "$(status)" ] && [ "$(status)" != not-installed ]; then dpkg -r crash-triage >/dev/null 2>&1 || true; fi
}
trap remove EXIT

dpkg -i "$deb" >/dev/null || fail "dpkg -i $deb"
installed=/usr/bin/crash-triage

help=$("$installed" --help 2>&1) || fail "crash-triage --help exits with $?"
grep -q -- '--binaries' <<<"$help" || fail "crash-triage --help says: $help"
version=$("$installed" --version) || fail "crash-triage --version exits with $?"
[ "$version" = "crash-triage $(head -n 1 "$repo/VERSION")" ] ||
  fail "crash-triage --version says '$version', VERSION says $(head -n 1 "$repo/VERSION")"

# A dump of the sample client crashing in a fixture module under Wine.
dump=$repo/fuzz/corpus/triage_reader/wine-stack.dmp
row=$("$installed" --json "$dump") || fail "crash-triage --json exits with $? on $dump"
for field in '"readable":true' '"code":"0xC0000005"' '"module":"DeepTwo.dll"'; do
  grep -qF "$field" <<<"$row" || fail "crash-triage --json gives no $field: $row"
done

page=$(man -w crash-triage 2>&1) || fail "man -w crash-triage: $page"
[ "$page" = /usr/share/man/man1/crash-triage.1.gz ] || fail "man -w crash-triage finds $page"

dpkg -r crash-triage >/dev/null || fail "dpkg -r crash-triage"
[ -z "$(status)" ] || [ "$(status)" = not-installed ] || fail "crash-triage is $(status) after dpkg -r"
for path in "$installed" /usr/share/man/man1/crash-triage.1.gz /usr/share/doc/crash-triage; do
  [ ! -e "$path" ] || fail "$path is left after dpkg -r"
done

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "package install checks passed"
