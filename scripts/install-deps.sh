#!/usr/bin/env bash
# Installs every tool the build and the tests need on Debian 12. Idempotent: when all
# packages are present it changes nothing and asks no registry.
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-14-dev        # host build, sanitizers, libFuzzer
  g++-mingw-w64-x86-64-posix mingw-w64-tools     # the Windows target: mingw-w64 headers and libraries,
  lld                                            #   built by clang and linked by LLD (PDBs)
  googletest libgtest-dev libbenchmark-dev       # unit tests (sources for mingw) and benchmarks
  wine64 wine                                    # runs the Windows tests
  xvfb xauth xdotool imagemagick x11-utils       # the message box on a virtual display, screenshots
  llvm lldb-14 python3-lldb-14 python3          # dump readers, llvm-symbolizer/-pdbutil/-objcopy, road tests
  binutils-mingw-w64-x86-64 file                 # import tables and PE headers
  nlohmann-json3-dev libcli11-dev                # crash-triage: JSON output, command line
  chromium python3-yaml                          # crash-triage: its page in a browser, obj2yaml's output read
  dpkg-dev zip unzip lintian man-db              # crash-triage's Debian package and zip: built, linted, installed
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
# sudo starts its command with a clean environment, so the variable goes inside it; and
# another run (or another user's) may hold the package lock: wait for it, do not fail.
apt_get=("${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600)
echo "Installing: ${missing[*]}"
"${apt_get[@]}" update -q
"${apt_get[@]}" install -y -q --no-install-recommends "${missing[@]}"
