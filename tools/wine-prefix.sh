#!/usr/bin/env bash
# Manages the Wine prefix of a build folder.
#   wine-prefix.sh init  PREFIX   create the prefix once (wineboot), wait for its first boot to end
#   wine-prefix.sh start PREFIX   start a persistent wineserver for a test run
#   wine-prefix.sh stop  PREFIX   stop that wineserver
set -euo pipefail
action=$1
export WINEPREFIX=$2
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wine_dir=/usr/lib/wine

case "$action" in
init)
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  [ -f "$WINEPREFIX/.bridge-ready" ] && exit 0
  rm -rf "$WINEPREFIX"
  "$wine_dir/wine64" wineboot --init </dev/null >/dev/null 2>&1
  # The first boot goes on in the background after wineboot returns; COM activation hangs if a
  # client starts before it ends.
  "$wine_dir/wineserver64" -w
  # Hidden top-level windows need the null graphics driver on a machine without a display.
  "$wine_dir/wine64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
  # A crashing test fails at once instead of waiting in the automatic debugger.
  "$wine_dir/wine64" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
    /v Debugger /f </dev/null >/dev/null 2>&1 || true
  "$wine_dir/wineserver64" -w
  touch "$WINEPREFIX/.bridge-ready"
  ;;
start)
  # A server already running (another run in this prefix) is shared, and left to its owner.
  if "$wine_dir/wineserver64" -p; then
    touch "$WINEPREFIX/.bridge-server-started"
  fi
  # The first program under the persistent server starts Wine's services, which inherit its
  # standard handles: keep them away from the test runner's pipes.
  "$wine_dir/wine64" cmd /c exit 0 </dev/null >/dev/null 2>&1
  ;;
stop)
  if [ -f "$WINEPREFIX/.bridge-server-started" ]; then
    rm -f "$WINEPREFIX/.bridge-server-started"
    "$wine_dir/wineserver64" -k || true
  fi
  ;;
*)
  echo "usage: $0 init|start|stop PREFIX" >&2
  exit 2
  ;;
esac
