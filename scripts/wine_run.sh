#!/usr/bin/env bash
# Runs a Windows program under Wine for the cross-built tests: wine_run.sh PREFIX PROGRAM ARGS...
# The prefix is made once and its server started once (under a lock: tests run in parallel); Wine's
# own messages are off;
# the program gets AMBREVO_WINE_TIMEOUT seconds (default 600) before it is stopped.
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$prefix"
(
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    wine wineboot --init >/dev/null 2>&1 || true
    wineserver --wait
  fi
  # One server for the tests that start side by side: several programs starting a server each
  # at once lose their connection to it now and then ("wine client error: recvmsg").
  wineserver --persistent=30 9>&- </dev/null >/dev/null 2>&1 || true
) 9>"$prefix.lock"
exec timeout --kill-after=10 "${AMBREVO_WINE_TIMEOUT:-600}" wine "$@"
