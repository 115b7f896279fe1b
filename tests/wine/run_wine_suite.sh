#!/usr/bin/env bash
# Runs Quento.exe's end-to-end tests: a private X server, a private Wine prefix with a CJK font,
# quento-device on loopback addresses, and the UI driver that works the window.
#
#   run_wine_suite.sh WORK_DIR QUENTO_EXE DRIVER_EXE DEVICE_EXE [driver arguments...]
#
# Driver arguments go to the driver as they are (--gtest_filter=..., --screenshot FILE.bmp).
# Exits 77 (skipped) when quento-device or a tool is missing.
set -euo pipefail
trap 'echo "run_wine_suite.sh: line $LINENO failed" >&2' ERR

if (($# < 4)); then
  echo "usage: $0 WORK_DIR QUENTO_EXE DRIVER_EXE DEVICE_EXE [driver arguments...]" >&2
  exit 2
fi
work=$(realpath -m "$1")
quento=$(realpath "$2")
driver=$(realpath "$3")
device=$4
shift 4

if [[ ! -x $device ]]; then
  echo "SKIPPED: quento-device not found at $device; build it first (cmake --preset default &&" \
    "cmake --build --preset default --target quento-device) or set QUENTO_DEVICE_EXE."
  exit 77
fi
for tool in Xvfb wine wineserver; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: $tool is not installed."
    exit 77
  fi
done

started=$(date +%s.%N)
run="$work/run"
rm -rf "$run"
mkdir -p "$run/saved"

export WINEPREFIX="$work/prefix"
export LANG=C.UTF-8 LC_ALL=C.UTF-8 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset WINEARCH

pids=()
cleanup() {
  local status=$?
  trap - EXIT
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [[ -n ${DISPLAY:-} ]]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
  fi
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  exit "$status"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# Waits until FILE has a line matching PATTERN, while process PID lives. Bounded: 20 s.
wait_for_line() {
  local file=$1 pattern=$2 pid=$3
  for _ in $(seq 400); do
    if grep -qE "$pattern" "$file" 2>/dev/null; then return 0; fi
    if ! kill -0 "$pid" 2>/dev/null; then return 1; fi
    sleep 0.05
  done
  return 1
}

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# A display of our own; Xvfb picks a free number and reports it once it accepts clients.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$run/display" \
  </dev/null >"$run/xvfb.log" 2>&1 &
pids+=($!)
if ! wait_for_line "$run/display" '^[0-9]+$' "${pids[-1]}"; then
  echo "Xvfb did not start:" >&2
  cat "$run/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$(head -n1 "$run/display")"

if [[ ! -f $WINEPREFIX/quento-prefix-ready ]]; then rm -rf "$WINEPREFIX"; fi
mkdir -p "$WINEPREFIX"
# One server for the whole run: every wine process after the first starts in a fraction of
# a second instead of more than one.
wineserver -p </dev/null >/dev/null 2>&1

if [[ ! -f $WINEPREFIX/quento-prefix-ready ]]; then
  wine wineboot -i </dev/null >"$run/wineboot.log" 2>&1
  # Debian's Wine does not find its own fonts; the dialog font maps onto a CJK font.
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  cat >"$run/prefix.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"SimSun"="WenQuanYi Micro Hei"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"MS Shell Dlg"="WenQuanYi Micro Hei"
"MS Shell Dlg 2"="WenQuanYi Micro Hei"
REG
  wine regedit /S "$(windows_path "$run/prefix.reg")" </dev/null >>"$run/wineboot.log" 2>&1
  # Let the registry reach the disk, then start the server again for the tests.
  wineserver -k
  wineserver -w
  wineserver -p </dev/null >/dev/null 2>&1
  touch "$WINEPREFIX/quento-prefix-ready"
else
  wine wineboot </dev/null >"$run/wineboot.log" 2>&1
fi

# The window always dials port 18810, so each simulated device gets an address of its own in
# 127.0.5.0/24: a good one, and one that never answers. Another run may hold an address; then
# the simulator fails to bind and we draw again.
device_log="$run/device.log"
for attempt in $(seq 10); do
  base=$((RANDOM % 80 * 3 + 10))
  good="127.0.5.$base" silent="127.0.5.$((base + 1))" absent="127.0.5.$((base + 2))"
  : >"$device_log"
  "$device" --listen "$good:18810" --listen "$silent:18810" --fault "$silent/silent" \
    --save "$run/saved" </dev/null >"$device_log" 2>&1 &
  device_pid=$!
  if wait_for_line "$device_log" "listening on $silent:18810" "$device_pid"; then break; fi
  kill "$device_pid" 2>/dev/null || true
  wait "$device_pid" 2>/dev/null || true
  device_pid=
  if ((attempt == 10)); then
    echo "quento-device did not start:" >&2
    cat "$device_log" >&2
    exit 1
  fi
done
pids+=("$device_pid")

export QUENTO_EXE QUENTO_DEVICE QUENTO_SILENT_DEVICE QUENTO_ABSENT_DEVICE QUENTO_DEVICE_LOG \
  QUENTO_WORK_DIR
QUENTO_EXE=$(windows_path "$quento")
QUENTO_DEVICE=$good
QUENTO_SILENT_DEVICE=$silent
QUENTO_ABSENT_DEVICE=$absent
QUENTO_DEVICE_LOG=$(windows_path "$device_log")
QUENTO_WORK_DIR=$(windows_path "$run")

status=0
# Every wait in the driver is bounded; this bound only keeps a wedged Wine from outliving us.
timeout 480 wine "$driver" "$@" </dev/null || status=$?

elapsed=$(awk -v from="$started" -v to="$(date +%s.%N)" 'BEGIN { printf "%.1f", to - from }')
echo "Wine suite finished in ${elapsed} s (status $status)"
exit "$status"
