#!/usr/bin/env bash
# Installs every tool the build and the tests need on Debian 12. Idempotent: when all
# packages are present it changes nothing and asks no registry.
set -euo pipefail

# Breakpad's minidump_stackwalk, the tests' second reader of stacks: the npm package
# `minidump` ships it prebuilt for Linux x64. Only the tarball is fetched and the one
# binary taken from it (its install script would fetch and build Breakpad's sources).
stackwalk_version=0.26.0
stackwalk_sha256=0b09e132e39a5bf555324078a7f1fa2f3fe5c498f44bd80bf6fdfca92c1e2bbd
stackwalk_dir=/opt/breakpad-minidump-$stackwalk_version
install_stackwalk() {
  [ -x "$stackwalk_dir/minidump_stackwalk" ] && return 0
  local work
  work=$(mktemp -d)
  (
    cd "$work"
    npm pack --silent "minidump@$stackwalk_version" >/dev/null
    echo "$stackwalk_sha256  minidump-$stackwalk_version.tgz" | sha256sum --check --quiet
    tar -xzf "minidump-$stackwalk_version.tgz" package/bin/linux-x64/minidump_stackwalk
    "${sudo_cmd[@]}" install -D -m 0755 package/bin/linux-x64/minidump_stackwalk "$stackwalk_dir/minidump_stackwalk"
  ) || { rm -rf "$work"; echo "cannot install minidump_stackwalk $stackwalk_version from npm" >&2; return 1; }
  rm -rf "$work"
}

packages=(
  cmake make g++ clang libclang-rt-14-dev        # host build, sanitizers, libFuzzer
  g++-mingw-w64-x86-64-posix mingw-w64-tools     # the Windows target: mingw-w64 headers and libraries,
  lld                                            #   built by clang and linked by LLD (PDBs)
  googletest libgtest-dev libbenchmark-dev       # unit tests (sources for mingw) and benchmarks
  wine64 wine                                    # runs the Windows tests
  xvfb xauth xdotool imagemagick x11-utils       # the message box on a virtual display, screenshots
  llvm lldb-14 python3-lldb-14 python3          # dump readers, llvm-symbolizer/-pdbutil/-objcopy, road tests
  binutils-mingw-w64-x86-64 file                 # import tables and PE headers
  nlohmann-json3-dev libcli11-dev libfmt-dev     # crash-triage: JSON output, command line, text formatting
  chromium python3-yaml                          # crash-triage: its page in a browser, obj2yaml's output read
)
# npm for Breakpad's walker; a machine with Node.js from elsewhere has it already.
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
if [ ${#missing[@]} -eq 0 ]; then
  install_stackwalk
  exit 0
fi

# sudo starts its command with a clean environment, so the variable goes inside it; and
# another run (or another user's) may hold the package lock: wait for it, do not fail.
apt_get=("${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600)
echo "Installing: ${missing[*]}"
"${apt_get[@]}" update -q
"${apt_get[@]}" install -y -q --no-install-recommends "${missing[@]}"
install_stackwalk
