#!/usr/bin/env bash
# Registers the end-to-end copy of the server and the proxy/stub in the build's Wine prefix.
#   register.sh WINE_RUN E2E_DIR       the server and the x64 proxy/stub
#   register.sh WINE_RUN E2E_DIR x86   the x86 proxy/stub (E2E_DIR/x86) in the 32-bit registry view
set -euo pipefail
wine_run=$1
dir=$2
windows_dir="Z:${dir//\//\\}"
if [ "${3:-}" = x86 ]; then
  # The 32-bit regsvr32 writes the 32-bit view, where a 32-bit client looks for the proxy/stub.
  proxy="$windows_dir\\x86\\StiScannerComBridgePS.dll"
  if ! "$wine_run" 'C:\windows\syswow64\regsvr32.exe' /s "$proxy"; then
    echo "register.sh: the 32-bit regsvr32 failed; Wine runs 32-bit programs only with" \
         "wine32:i386 installed, in a prefix made after it (tools/test.sh makes it again)" >&2
    exit 1
  fi
  exit 0
fi
"$wine_run" "$dir/StiScannerComBridge.exe" /RegServer
"$wine_run" regsvr32 /s "$windows_dir\\StiScannerComBridgePS.dll"
# The server loads the sti.dll beside it (the simulated scanner) instead of Wine's own.
"$wine_run" reg add 'HKCU\Software\Wine\AppDefaults\StiScannerComBridge.exe\DllOverrides' \
  /v sti /d native,builtin /f >/dev/null
