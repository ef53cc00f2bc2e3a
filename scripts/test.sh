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
ctest --preset windows || failed=1

if [ "$failed" -ne 0 ]; then
  echo "Some tests failed." >&2
  exit 1
fi
echo "All tests of both targets passed."
