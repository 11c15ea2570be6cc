#!/usr/bin/env bash
# Builds everything and runs every test under Wine: unit tests of the bridge against the
# simulated scanner and end-to-end tests through COM from a separate client process, 64-bit and
# 32-bit (the x64 build builds the x86 side too).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/mingw-x64"
"$root/tools/install-deps.sh"
cmake --preset mingw-x64 -S "$root" >/dev/null
cmake --build "$build" -j"$(nproc)"
# The 32-bit client's tests need a prefix made with Wine's 32-bit half installed (it fills
# syswow64): an older prefix is made again, unless a run is using it.
if [ -f "$build/wineprefix/.bridge-ready" ] &&
   [ ! -f "$build/wineprefix/drive_c/windows/syswow64/kernel32.dll" ]; then
  if [ -f "$build/wineprefix/.bridge-server-started" ]; then
    echo "test.sh: $build/wineprefix cannot run 32-bit programs and is in use" >&2
  else
    rm -f "$build/wineprefix/.bridge-ready"
  fi
fi
"$root/tools/wine-prefix.sh" init "$build/wineprefix"
"$root/tools/wine-prefix.sh" start "$build/wineprefix"
trap '"$root/tools/wine-prefix.sh" stop "$build/wineprefix"' EXIT
cd "$root"
# One test at a time: tests share the prefix's registry, named events and the COM class.
ctest --preset mingw-x64 "$@"
