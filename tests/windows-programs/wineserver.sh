#!/usr/bin/env bash
# wineserver.sh start|stop PREFIX: one server for the run makes every Wine test start fast.
# Nothing started here may keep ctest's output open.
export WINEPREFIX="$2" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
if [[ $1 == start ]]; then
  [[ -d $WINEPREFIX ]] || wineboot -i
  wineserver -p
  wine cmd /c exit
else
  wineserver -k
  wineserver -w
fi </dev/null >/dev/null 2>&1
exit 0
