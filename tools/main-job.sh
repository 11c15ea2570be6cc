#!/usr/bin/env bash
# The main job: builds everything, registers the server and its proxy/stub in the build's Wine
# prefix, points the simulated scanner (the sti.dll beside the server) at the default scenario
# and runs the sample client, which writes every page of the user's ready jobs as BMP files.
#   tools/main-job.sh [sample_client options]     (tools/main-job.sh --help lists them)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/mingw-x64"
out="$build/scans"
"$root/tools/install-deps.sh"
cmake --preset mingw-x64 -S "$root" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
"$root/tools/wine-prefix.sh" init "$build/wineprefix"
"$root/tools/wine-prefix.sh" start "$build/wineprefix"
trap '"$root/tools/wine-prefix.sh" stop "$build/wineprefix"' EXIT
"$root/tests/e2e/register.sh" "$build/wine-run.sh" "$build/e2e"
scenario="Z:${root//\//\\}\\sim\\scenarios\\default.scn"
"$build/wine-run.sh" "$build/e2e/sim_setup.exe" install "$scenario" >/dev/null
mkdir -p "$out"
"$build/wine-run.sh" "$build/tools/sample_client.exe" --out "Z:${out//\//\\}" "$@"
echo "BMP files: $out"
