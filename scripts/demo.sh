#!/usr/bin/env bash
# The main job: builds everything and shows the crash notifier's box for a sample fault
# module on a virtual display, saving a screenshot.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
"$repo/scripts/install-deps.sh"
cd "$repo"
configure_and_build windows
echo "The notifier lands with the notifier's work; nothing to show yet." >&2
