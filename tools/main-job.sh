#!/usr/bin/env bash
# The main job: builds everything, registers the server and its proxy/stub in the build's Wine
# prefix, and runs the sample client against it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/mingw-x64"
"$root/tools/install-deps.sh"
cmake --preset mingw-x64 -S "$root" >/dev/null
cmake --build "$build" -j"$(nproc)"
"$root/tools/wine-prefix.sh" init "$build/wineprefix"
"$root/tools/wine-prefix.sh" start "$build/wineprefix"
trap '"$root/tools/wine-prefix.sh" stop "$build/wineprefix"' EXIT
"$root/tests/e2e/register.sh" "$build/wine-run.sh" "$build/e2e"
"$build/wine-run.sh" "$build/tools/sample_client.exe" "$@"
