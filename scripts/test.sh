#!/usr/bin/env bash
# Runs every test of both targets: the portable unit tests natively and under
# ASan/UBSan, the fuzzers for a short time, then everything of the Windows target under Wine on a virtual display.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
"$repo/scripts/install-deps.sh"
cd "$repo"

failed=0
for preset in host host-asan; do
  configure_and_build "$preset"
  ctest --preset "$preset" -j"$jobs" || failed=1
done

# Each libFuzzer target runs for a short fixed time (CRASH_FUZZ_SECONDS in the cache), one
# process of one thread each, so they share the cores.
configure_and_build fuzz
ctest --preset fuzz -j"$jobs" || failed=1

configure_and_build windows
trap stop_helpers EXIT
start_virtual_display
start_wineserver "$repo/build/windows/wineprefix"
# The release check and the package tests build and pack, with no Wine and no display,
# while the Wine tests mostly wait on Wine: the two run side by side. The packing ones run
# from their own build folders, so that each ctest keeps a Testing folder of its own.
packing='^(binaries_reproducible|package_contents|package_install)$'
(status=0
 for dir in binaries package; do
   ctest --test-dir "$repo/build/windows/tests/$dir" --output-on-failure || status=1
 done
 exit "$status") >"$repo/build/windows/packing-tests.log" 2>&1 &
packing_tests=$!
ctest --preset windows -E "$packing" || failed=1
wait "$packing_tests" || failed=1
cat "$repo/build/windows/packing-tests.log"

if [ "$failed" -ne 0 ]; then
  echo "Some tests failed." >&2
  exit 1
fi
echo "All tests of both targets passed."
