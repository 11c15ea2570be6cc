#!/usr/bin/env bash
# Activation churn: registers the server in the build's Wine prefix and runs K client processes
# x N activate/call/release cycles against it, printing failures by HRESULT, the slowest cycle
# and the rate.   tools/stress.sh [--clients K] [--cycles N]    (default 3 x 100)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/mingw-x64"
"$root/tools/install-deps.sh"
cmake --preset mingw-x64 -S "$root" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
"$root/tools/wine-prefix.sh" init "$build/wineprefix"
"$root/tools/wine-prefix.sh" start "$build/wineprefix"
trap '"$root/tools/wine-prefix.sh" stop "$build/wineprefix"' EXIT
"$root/tests/e2e/register.sh" "$build/wine-run.sh" "$build/e2e"
"$build/wine-run.sh" "$build/e2e/stress_activation.exe" "$@"
