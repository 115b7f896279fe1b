#!/usr/bin/env bash
# Keeps one Wine server up for the whole test run, so each test program under Wine starts in a
# fraction of a second instead of paying for a server start of its own.
#   wineserver.sh start|stop PREFIX
set -u
export WINEPREFIX="$2" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
case "$1" in
  start)
    if [[ ! -d "$WINEPREFIX" ]]; then
      wineboot -i </dev/null >/dev/null 2>&1 || true
    fi
    # Everything started here keeps nothing of ctest's output open, or ctest would wait for it.
    wineserver -p </dev/null >/dev/null 2>&1
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    ;;
esac
exit 0
