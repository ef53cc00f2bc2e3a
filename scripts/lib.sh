# Shared by the top-level scripts: build folders, a virtual display and one wineserver.
# shellcheck shell=bash

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

# A build folder that another user made (say with one run under sudo), or that was copied
# from another checkout, fails later with an error of CMake's or Wine's own that does not
# say what to do; say it here, in one line.
check_build_folder() {  # folder: a build folder or a Wine prefix
  local dir=$1 path owner made_in
  [ -e "$dir" ] || return 0
  for path in "$dir" "$dir/CMakeCache.txt" "$dir/wineprefix"; do
    [ -e "$path" ] || continue
    owner=$(stat -c %u "$path")
    if [ "$owner" != "$(id -u)" ]; then
      echo "$path belongs to $(stat -c %U "$path"), not to $(id -un) (made with sudo?): remove $dir (sudo rm -rf $dir) and run again" >&2
      return 1
    fi
  done
  made_in=$(sed -n 's/^CMAKE_CACHEFILE_DIR:INTERNAL=//p' "$dir/CMakeCache.txt" 2>/dev/null || true)
  if [ -n "$made_in" ] && [ "$made_in" != "$(cd "$dir" && pwd)" ] &&
     [ "$made_in" != "$(cd "$dir" && pwd -P)" ]; then
    echo "$dir was configured in another checkout ($made_in): remove it (rm -rf $dir) and run again" >&2
    return 1
  fi
}

# Configures a preset's build folder (build/<preset>, CMakePresets.json); afresh when the
# presets or the toolchain file changed since the folder was configured, since CMake keeps
# the compiler a folder was first configured with and would go on mixing the two.
configure_preset() {  # preset
  local dir=$repo/build/$1 stamp fresh=()
  check_build_folder "$dir" || return 1
  stamp=$(cat "$repo/CMakePresets.json" "$repo"/cmake/*.cmake | sha256sum | cut -d' ' -f1)
  if [ -f "$dir/CMakeCache.txt" ] && [ "$(cat "$dir/.toolchain-stamp" 2>/dev/null)" != "$stamp" ]; then
    fresh=(--fresh)
  fi
  cmake --preset "$1" "${fresh[@]}" >/dev/null
  echo "$stamp" >"$dir/.toolchain-stamp"
}

# The sources a release is built from: a copy of the checkout's files at one fixed path.
# clang 14 writes each compile command line, with the source tree's path, into the PDB,
# and the image's debug directory carries the PDB's GUID, which LLD derives from the
# PDB's bytes: built in place, a checkout at another path would give other binaries.
release_sources=/tmp/crash-capture-release/src

# Runs a command with $release_sources holding the checkout's files (tracked and new,
# as they are in the working tree), under a lock: checkouts that build at once take turns.
with_release_sources() {  # command...
  local lock=/tmp/crash-capture-release.lock status=0
  mkdir -p "$(dirname "$release_sources")"
  (
    flock 9
    rm -rf "$release_sources"
    mkdir -p "$release_sources"
    if git -C "$repo" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
      (cd "$repo" && git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
        xargs -0 cp --parents -t "$release_sources")
    else
      tar -C "$repo" --exclude=./build --exclude=./.git -cf - . | tar -C "$release_sources" -xf -
    fi
    "$@"
  ) 9>"$lock" || status=$?
  return "$status"
}

# Builds the release into build folders of its own: the two deliverables for Windows,
# and when a second folder is named, crash-triage.exe beside them and crash-triage for
# Linux in that second folder, and crash-check with the sample client and the
# driver-named module it crashes unless "triage-only" follows (the release check, which
# looks at the support tool's packages only).
build_release() {  # Windows build folder [Linux build folder [triage-only]]
  with_release_sources _build_release "$@"
}
_build_release() {
  local dir=$1 linux=${2:-} targets=(calvorin Brisvane)
  [ -z "$linux" ] || targets+=(crash_triage)
  [ -z "$linux" ] || [ "${3:-}" = triage-only ] || targets+=(crash_check sample_client fault_nvwgf2umx)
  # Afresh, as configure_preset does after a change of the toolchain: CMake would keep the
  # compiler the folder was first configured with. The sources are new copies, so the
  # build starts from nothing anyway.
  cmake --fresh -S "$release_sources" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$release_sources/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" --target "${targets[@]}" -j"$jobs" >"$dir.build.log" 2>&1 ||
    { cat "$dir.build.log"; return 1; }
  [ -n "$linux" ] || return 0
  # Built as the host preset builds it (optimized, with debug information that the
  # package strips, as Debian builds its packages), so that the checkout's own host
  # build gives the same binary: the release check compares the two.
  cmake --fresh -S "$release_sources" -B "$linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    >"$linux.configure.log" 2>&1 || { cat "$linux.configure.log"; return 1; }
  cmake --build "$linux" --target crash_triage -j"$jobs" >"$linux.build.log" 2>&1 ||
    { cat "$linux.build.log"; return 1; }
}

configure_and_build() {  # preset [target...]: everything when no target is named
  local preset=$1 targets=()
  shift
  [ $# -eq 0 ] || targets=(--target "$@")
  configure_preset "$preset" || exit 1
  cmake --build --preset "$preset" -j"$jobs" "${targets[@]}"
}

# The one built file of that name in a build folder, past the copies that the Wine
# prefix and the test games hold; fails when there is none.
built_file() {  # build folder, file name
  local found
  found=$(find "$1" -name "$2" -type f -not -path '*/wineprefix/*' -not -path '*/games/*' \
          -not -path '*/CMakeFiles/*' | head -n 1)
  [ -n "$found" ] || { echo "$2 was not built in $1" >&2; return 1; }
  echo "$found"
}

winpath() { echo "Z:${1//\//\\}"; }  # a Unix path as Wine's drive Z: gives it to Windows

# Wine's 64-bit loader where Debian puts it, else the wine on the PATH.
wine_binary() {
  if [ -x /usr/lib/wine/wine64 ]; then echo /usr/lib/wine/wine64; else command -v wine64 || command -v wine; fi
}
# Wine's own parts that no test wants: the .NET and HTML engines it would offer to
# install, and the desktop entries it would make (tests/wine_harness.py starts from these).
base_dll_overrides="mscoree,mshtml,winemenubuilder.exe="

# Starts Xvfb on a free display unless one is given; the message box needs an X server.
start_virtual_display() {
  if [ -n "${CRASH_USE_DISPLAY:-}" ] && [ -n "${DISPLAY:-}" ]; then return 0; fi
  local n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && return 0; sleep 0.1; done
  echo "Xvfb did not start on $DISPLAY" >&2
  return 1
}

# One persistent wineserver per prefix saves seconds on every Wine test.
start_wineserver() {  # prefix
  check_build_folder "$1" || exit 1
  export WINEPREFIX=$1 WINEDEBUG=-all
  "$repo/scripts/wine-prefix.sh" "$WINEPREFIX"
  wineserver -p >/dev/null 2>&1 || true
  # Wine's services outlive the program that starts them and keep its stdout and stderr
  # open; started here, they hold no test's output pipe (CTest would wait for it forever).
  "$repo/scripts/wine-run.sh" cmd /c exit >/dev/null 2>&1 || true
}

stop_helpers() {
  if [ -n "${WINEPREFIX:-}" ]; then WINEPREFIX=$WINEPREFIX wineserver -k >/dev/null 2>&1 || true; fi
  if [ -n "${xvfb_pid:-}" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
