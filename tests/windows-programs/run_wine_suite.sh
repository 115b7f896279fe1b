#!/usr/bin/env bash
# run_wine_suite.sh WORK_DIR QUENTO_EXE DRIVER_EXE DEVICE_EXE [driver arguments...]
set -euo pipefail
work=$(realpath -m "$1") quento=$(realpath "$2") driver=$(realpath "$3") device=$4
if ! which "$device" Xvfb wine wineserver >/dev/null; then
  echo "SKIPPED: one of $device (see QUENTO_DEVICE_EXE), Xvfb, wine and wineserver is missing"
  exit 77
fi
run=$work/run
rm -rf "$run"
mkdir -p "$run/saved"
# LC_ALL from outside picks the Windows: zh_CN.UTF-8 makes a Chinese one (code page 936).
locale=${LC_ALL:-C.UTF-8}
[[ $(locale -a) == *"${locale/UTF-8/utf8}"* ]] || { echo "FAILED: no locale $locale"; exit 1; }
export WINEPREFIX=$work/prefix LANG=$locale LC_ALL=$locale WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

cleanup() {
  { wineserver -k && wineserver -w; } >/dev/null 2>&1 || true
  kill $(jobs -p) 2>/dev/null || true
  wait
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# At most 20 s for a line of file $1 that matches $2, while process $3 lives.
await_line() {
  for _ in {1..400}; do
    grep -qE "$2" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$run/display" </dev/null \
  >"$run/xvfb.log" 2>&1 &
await_line "$run/display" '^[0-9]+$' $! || { cat "$run/xvfb.log" >&2; exit 1; }
export DISPLAY=:$(<"$run/display")

# Nothing here may hold ctest's output open. The prefix gets Wine's fonts, a CJK dialog font,
# and unmanaged windows (with frames, no stall on hiding) once, for its locale only.
ready=$WINEPREFIX/quento-prefix-ready
{
  if [[ $(cat "$ready") != "$locale" ]]; then
    rm -rf "$WINEPREFIX"
    wine wineboot -i
    cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    fonts='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
    for setting in 'HKCU\Software\Wine\X11 Driver|Managed|N' \
      'HKCU\Software\Wine\Fonts\Replacements|SimSun|WenQuanYi Micro Hei' \
      "$fonts|MS Shell Dlg|WenQuanYi Micro Hei" "$fonts|MS Shell Dlg 2|WenQuanYi Micro Hei"; do
      IFS='|' read -r key name value <<<"$setting"
      wine reg add "$key" /v "$name" /d "$value" /f
    done
    wineserver -k && wineserver -w
    echo "$locale" >"$ready"
  fi
  wineserver -p
  wine wineboot
} </dev/null >>"$run/wine.log" 2>&1

# The window always dials port 18810, so each device is an address of its own: a good one, a
# silent one, and one where nothing listens. If another run holds them, binding fails: redraw.
for attempt in {1..10}; do
  base=$((RANDOM % 80 * 3 + 10))
  good=127.0.5.$base silent=127.0.5.$((base + 1)) absent=127.0.5.$((base + 2))
  "$device" --listen "$good-$silent:18810" --fault "$silent/silent" --save "$run/saved" \
    </dev/null >"$run/device.log" 2>&1 &
  await_line "$run/device.log" "listening on $silent:18810" $! && break
  ((attempt < 10)) || { cat "$run/device.log" >&2; exit 1; }
done

QUENTO_EXE=$quento QUENTO_RUN=$run QUENTO_DEVICE=$good QUENTO_SILENT_DEVICE=$silent \
  QUENTO_ABSENT_DEVICE=$absent timeout 480 wine "$driver" "${@:5}" </dev/null
