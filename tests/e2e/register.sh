#!/usr/bin/env bash
# Registers the end-to-end copy of the server and the proxy/stub in the build's Wine prefix.
#   register.sh WINE_RUN E2E_DIR
set -euo pipefail
wine_run=$1
dir=$2
windows_dir="Z:${dir//\//\\}"
"$wine_run" "$dir/StiScannerComBridge.exe" /RegServer
"$wine_run" regsvr32 /s "$windows_dir\\StiScannerComBridgePS.dll"
# The server loads the sti.dll beside it (the simulated scanner) instead of Wine's own.
"$wine_run" reg add 'HKCU\Software\Wine\AppDefaults\StiScannerComBridge.exe\DllOverrides' \
  /v sti /d native,builtin /f >/dev/null
