#!/usr/bin/env bash
# Mutation run (a measurement, not part of the tests): each one-edit fault of
# scripts/mutations.txt is applied alone to a scratch copy of the checkout
# (build/mutation/src), the host preset rebuilt there and its tests run (the host-asan
# preset's too for faults marked "@asan"); prints each fault killed or survived, by which
# test, and the kill rate. The first run builds the scratch copy from nothing; later runs
# rebuild only what a fault touches. Options: scripts/mutate.py's (--only=TEXT, --check).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
"$repo/scripts/install-deps.sh"
exec python3 "$repo/scripts/mutate.py" "$@"
