#!/usr/bin/env bash
# Builds everything and runs every test under Wine: unit tests of the bridge against the
# simulated scanner and end-to-end tests through COM from a separate client process.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/mingw-x64"
"$root/tools/install-deps.sh"
cmake --preset mingw-x64 -S "$root" >/dev/null
cmake --build "$build" -j"$(nproc)"
"$root/tools/wine-prefix.sh" init "$build/wineprefix"
"$root/tools/wine-prefix.sh" start "$build/wineprefix"
trap '"$root/tools/wine-prefix.sh" stop "$build/wineprefix"' EXIT
cd "$root"
ctest --preset mingw-x64 --parallel 2 "$@"
