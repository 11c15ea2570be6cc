#!/usr/bin/env bash
# Runs the transfer benchmark: builds, registers the bridge, the bare marshaling server and
# both proxy/stubs in the build's Wine prefix, points the simulated scanner at the benchmark's
# large page and prints the figures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/mingw-x64"
"$root/tools/install-deps.sh"
cmake --preset mingw-x64 -S "$root" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
"$root/tools/wine-prefix.sh" init "$build/wineprefix"
"$root/tools/wine-prefix.sh" start "$build/wineprefix"
run="$build/wine-run.sh"
diagnostics='HKCU\Software\tavrk\twain\StiScannerBridge\Diagnostics'
trap '"$run" reg delete "$diagnostics" /f >/dev/null 2>&1; "$root/tools/wine-prefix.sh" stop "$build/wineprefix"' EXIT
"$root/tests/e2e/register.sh" "$run" "$build/e2e"
"$run" "$build/bench/bare_server.exe" /RegServer
"$run" regsvr32 /s "Z:${build//\//\\}\\bench\\BareTransferPS.dll"
scenario="Z:${root//\//\\}\\bench\\scenarios\\bench.scn"
"$run" "$build/e2e/sim_setup.exe" install "$scenario" >/dev/null
figures() {
  "$run" "$build/bench/bench_transfer.exe" "--scenario=$scenario"
  "$run" "$build/bench/bench_source.exe" "--ds=$build/e2e/twain_64/StiBridgeSource.ds"
}
echo "== diagnostics log off"
"$run" reg delete "$diagnostics" /f >/dev/null 2>&1 || true
figures
# The same with every bridge method and triplet on a line of the log (the server and the source
# read the settings at each activation and open).
echo
echo "== diagnostics log at level 2 (calls), in C:\\windows\\temp"
"$run" reg add "$diagnostics" /v Level /t REG_DWORD /d 2 /f >/dev/null
"$run" reg add "$diagnostics" /v Folder /t REG_SZ /d 'C:\windows\temp' /f >/dev/null
figures
