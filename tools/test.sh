#!/usr/bin/env bash
# Builds everything and runs every test under Wine: unit tests of the bridge against the
# simulated scanner and end-to-end tests through COM from a separate client process, 64-bit and
# 32-bit (the x64 build builds the x86 side too). Then the same with the second compiler: the x64
# product and its tests built by clang with lld (build/mingw-x64-clang), which also parses the
# product sources in clang's MSVC mode, and its tests run against the clang-built server.
#   tools/test.sh [ctest options]     the options go to both test runs, e.g. -R Lifetime
#   BRIDGE_CLANG=0 tools/test.sh      without the clang build and its tests
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/mingw-x64"
with_clang=${BRIDGE_CLANG:-1}
"$root/tools/install-deps.sh"
cmake --preset mingw-x64 -S "$root" >/dev/null
cmake --build "$build" -j"$(nproc)"
if [ "$with_clang" != 0 ]; then
  cmake --preset mingw-x64-clang -S "$root" >/dev/null
  cmake --build "$root/build/mingw-x64-clang" -j"$(nproc)"
fi
# The 32-bit client's tests need a prefix made with Wine's 32-bit half installed (it fills
# syswow64): an older prefix is made again, unless a run is using it.
# A kernel without IA-32 emulation runs no 32-bit program: then the build leaves the x86 tests out
# and the prefix stays as it is.
if [ -f "$build/wineprefix/.bridge-ready" ] &&
   [ ! -f "$build/wineprefix/drive_c/windows/syswow64/kernel32.dll" ] &&
   /usr/lib/wine/wine --version >/dev/null 2>&1; then
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
# One test at a time: tests share the prefix's registry, named events and the COM class. The
# clang build's tests use the same prefix after these; their fixture registers its own server.
# The clang build's tests run even when the GCC build's fail, so one run shows both.
status=0
ctest --preset mingw-x64 "$@" || status=$?
if [ "$with_clang" != 0 ]; then
  # A fresh wineserver: nothing of the first run (a server that outlived its test) stays behind.
  "$root/tools/wine-prefix.sh" stop "$build/wineprefix"
  "$root/tools/wine-prefix.sh" start "$build/wineprefix"
  ctest --preset mingw-x64-clang "$@" || status=$?
fi
exit "$status"
