#!/usr/bin/env bash
# The source when its server dies: the first test ends the server in the middle of a transfer;
# Wine keeps a killed server's class registration until the prefix's wineserver restarts (Windows'
# COM starts a fresh server), so the wineserver restarts before the second test opens a new
# session.
#   server_death.sh WINE_RUN PREFIX TEST_EXE [ARGS...]
set -euo pipefail
wine_run=$1
prefix=$2
shift 2
root=$(cd "$(dirname "$0")/../.." && pwd)
"$wine_run" "$@" --gtest_filter=SourceServerDeath.FailsTheTransferAndUnwinds
WINEPREFIX=$prefix /usr/lib/wine/wineserver64 -k || true
WINEPREFIX=$prefix /usr/lib/wine/wineserver64 -w || true
# The persistent wineserver must not hold the test runner's pipes.
"$root/tools/wine-prefix.sh" start "$prefix" </dev/null >/dev/null 2>&1
"$wine_run" "$@" --gtest_filter=SourceServerDeath.ThenANewSessionAcquiresEveryPage
