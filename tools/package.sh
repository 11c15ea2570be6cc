#!/usr/bin/env bash
# Builds the product and its MSI with wixl: build/mingw-x64/package/StiScannerBridge-<version>-x64.msi
# (the server and both proxy/stubs, both sources; installer/StiScannerBridge.wxs). The package's
# tests: tools/test.sh -L package.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/mingw-x64"
"$root/tools/install-deps.sh"
cmake --preset mingw-x64 -S "$root" >/dev/null
cmake --build "$build" -j"$(nproc)" --target package_msi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
echo "$build/package/StiScannerBridge-$version-x64.msi"
