#!/usr/bin/env bash
# Checks the release packages that `./build.sh package` left in dist/:
#   - lintian accepts the Debian package (no errors);
#   - apt-get installs it; the installed quento-cli downloads an image into the installed
#     quento-device, which saves exactly that image;
#   - apt-get purges it, and nothing it installed is left behind (folders that were there
#     before it, shared with other packages, stay);
#   - the Windows zip holds its files; under Wine its quento-cli.exe prints the version and
#     downloads an image into its quento-device.exe, which saves exactly that image;
#   - the Windows installer, in a Wine prefix of its own, installs silently (files, Start menu
#     shortcut, uninstall entry, PATH), its quento-cli.exe found on PATH downloads an image,
#     a second run upgrades in place, and the silent uninstaller leaves nothing behind.
# Needs root or sudo: it installs and removes the package quento.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(Quento VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=dist/quento_${version}_amd64.deb
zip=dist/quento-${version}-win64.zip
setup=dist/Quento-${version}-setup.exe
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

work=$(mktemp -d)
device_pid=""
cleanup() {
  if [[ -n $device_pid ]]; then kill "$device_pid" 2>/dev/null || true; fi
  # A check that failed under Wine leaves its server running on the prefix removed below.
  if [[ ${WINEPREFIX:-} == "$work"/* ]]; then wineserver -k 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "check-packages: $*" >&2
  exit 1
}
[[ -f $deb ]] || fail "$deb is missing: run ./build.sh package"
[[ -f $zip ]] || fail "$zip is missing: run ./build.sh package"
[[ -f $setup ]] || fail "$setup is missing: run ./build.sh package"
setup=$PWD/$setup

# A download under Wine into DEVICE.exe, saved into the new folder SAVE, by the quento-cli.exe
# command that follows; in $work, where sample.bin is.
wine_download() {
  local device=$1 save=$2
  shift 2
  (cd "$work" && mkdir "$save" && mkfifo "$save.out")
  (cd "$work" && exec timeout 300 wine "$device" --listen 127.0.0.1:0 --save "$save" \
    </dev/null >"$save.out" 2>&1) &
  device_pid=$!
  exec 3<"$work/$save.out"
  read -r -t 120 ready <&3 || fail "quento-device.exe did not say it was listening within 120 s"
  [[ $ready == "listening on "* ]] || fail "quento-device.exe: $ready"
  (cd "$work" && timeout 120 "$@" --pacing fast sample.bin "${ready#listening on }" </dev/null) ||
    fail "$* failed"
  read -r -t 60 saved <&3 || fail "quento-device.exe saved nothing within 60 s"
  echo "quento-device.exe: $saved"
  saved=${saved##* to }
  cmp "$work/sample.bin" "$work/${saved//\\//}" || fail "the image quento-device.exe saved differs"
  kill -INT "$device_pid"
  wait "$device_pid" || fail "quento-device.exe did not stop cleanly on Ctrl-C"
  device_pid=""
  exec 3<&-
}

echo "== lintian $deb"
lintian --display-info "$deb" || fail "lintian found errors in $deb"
echo "lintian: no errors"

echo "== install $deb"
if dpkg-query -W -f='${Status}' quento 2>/dev/null | grep -q "installed"; then
  $sudo apt-get remove -y --purge quento >/dev/null
fi
# What the package holds that is already on the machine: shared folders such as /usr/bin.
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' | grep -v '^$' \
  > "$work/contents"
while read -r path; do
  if [[ -e $path ]]; then echo "$path"; fi
done < "$work/contents" > "$work/there-before"
$sudo apt-get install -y "./$deb"
dpkg -L quento > "$work/installed"

cli=/usr/bin/quento-cli
device=/usr/bin/quento-device
conform=/usr/bin/quento-conform
[[ -x $cli && -x $device && -x $conform && -x /usr/bin/quento ]] ||
  fail "the programs are not in /usr/bin"
[[ $("$conform" --version) == "quento-conform $version" ]] ||
  fail "quento-conform --version: $("$conform" --version)"
[[ -f /usr/share/man/man1/quento-conform.1.gz ]] || fail "no manual page for quento-conform"
[[ $("$cli" --version) == "quento-cli $version" ]] || fail "quento-cli --version: $("$cli" --version)"
[[ $("$device" --version) == "quento-device $version" ]] ||
  fail "quento-device --version: $("$device" --version)"
echo "installed: $("$cli" --version), $("$device" --version)"

echo "== a download from the installed quento-cli into the installed quento-device"
head -c 4096 /dev/urandom > "$work/sample.bin"
mkdir "$work/saved"
mkfifo "$work/device.out"
"$device" --listen 127.0.0.1:0 --save "$work/saved" > "$work/device.out" &
device_pid=$!
exec 3< "$work/device.out"
read -r -t 10 ready <&3 || fail "quento-device did not say it was listening within 10 s"
[[ $ready == "listening on "* ]] || fail "quento-device: $ready"
echo "quento-device: $ready"
address=${ready#listening on }
"$cli" --pacing fast "$work/sample.bin" "$address" || fail "quento-cli failed"
read -r -t 10 saved <&3 || fail "quento-device saved nothing within 10 s"
echo "quento-device: $saved"
cmp "$work/sample.bin" "${saved##* to }" || fail "the saved image differs from the sample"
echo "== the installed quento-conform checks the installed quento-device"
"$conform" --pacing fast --skip read-back,sessions,info "$address" || fail "quento-conform failed"
kill -TERM "$device_pid"
wait "$device_pid" || fail "quento-device did not stop cleanly"
device_pid=""
exec 3<&-

echo "== purge"
$sudo apt-get remove -y --purge quento
if dpkg-query -W -f='${Status}' quento 2>/dev/null | grep -q "installed"; then
  fail "quento is still installed"
fi
left=0
while read -r path; do
  if [[ -e $path || -L $path ]] && ! grep -qxF "$path" "$work/there-before"; then
    echo "left behind: $path" >&2
    left=1
  fi
done < "$work/installed"
[[ $left -eq 0 ]] || fail "the purged package left files behind"
echo "purged: none of its $(wc -l < "$work/installed") paths is left, apart from shared folders"

echo "== $zip"
mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$OLDPWD/$zip")
folder="$work/zip/quento-$version-win64"
(cd "$work/zip" && find . -type f | sort)
for file in Quento.exe README.txt LICENSE.txt; do
  [[ -f $folder/$file ]] || fail "the zip holds no $file"
done
# README.txt: Windows line ends on every line.
[[ $(grep -c $'\r$' "$folder/README.txt") -eq $(wc -l < "$folder/README.txt") ]] ||
  fail "README.txt has lines without Windows line ends"
# Quento.exe's version resource comes from the project's version.
strings -el "$folder/Quento.exe" | grep -qx "Quento V$version" ||
  fail "Quento.exe's version resource does not name Quento V$version"
if [[ -f $folder/quento-cli.exe ]]; then
  export WINEPREFIX="$work/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
  out=$(timeout 300 wine "$folder/quento-cli.exe" --version | tr -d '\r')
  [[ $out == "quento-cli $version" ]] || fail "quento-cli.exe --version under Wine: $out"
  out=$(timeout 300 wine "$folder/quento-conform.exe" --version | tr -d '\r')
  [[ $out == "quento-conform $version" ]] || fail "quento-conform.exe --version under Wine: $out"
  echo "under Wine: $out"
  # A download from the zip's quento-cli.exe into its quento-device.exe, both under Wine.
  wine_download "$folder/quento-device.exe" saved-zip wine "$folder/quento-cli.exe"
  wineserver -k && wineserver -w
else
  echo "the zip holds no quento-cli.exe (not built for Windows): its run under Wine is skipped"
fi
echo "== $(basename "$setup"): $(stat -c %s "$setup") bytes, in a fresh Wine prefix"
export WINEPREFIX="$work/wine-setup" LANG=C.UTF-8 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
timeout 300 wineboot -i </dev/null >/dev/null 2>&1 || fail "wineboot -i failed"
installed="$WINEPREFIX/drive_c/Program Files/Quento"
link="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Quento.lnk"
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# wine reg query, one line a value, blanks squeezed: "Name REG_SZ value".
reg() { timeout 60 wine reg query "$@" </dev/null 2>/dev/null | tr -d '\r' | sed 's/^ *//; s/  */ /g'; }
path_entries() {
  reg 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment' /v Path |
    sed -n 's/^Path REG_EXPAND_SZ //p' | tr ';' '\n' | grep -cixF 'C:\Program Files\Quento' || true
}
for round in install upgrade; do
  timeout 120 wine "$setup" /S </dev/null >/dev/null 2>&1 || fail "$round: $setup /S failed"
  for file in Quento.exe quento-cli.exe quento-device.exe quento-conform.exe README.txt LICENSE.txt \
    uninstall.exe; do
    [[ -f $installed/$file ]] || fail "$round: C:\\Program Files\\Quento holds no $file"
  done
  [[ -f $link ]] || fail "$round: no Quento.lnk in the all-users Start menu"
  reg "$uninstall\\Quento" > "$work/key"
  for value in "DisplayName REG_SZ Quento $version" "DisplayVersion REG_SZ $version" \
    "Publisher REG_SZ The Quento developers" 'DisplayIcon REG_SZ C:\Program Files\Quento\Quento.exe,0' \
    'InstallLocation REG_SZ C:\Program Files\Quento' 'NoModify REG_DWORD 0x1' 'NoRepair REG_DWORD 0x1' \
    'UninstallString REG_SZ "C:\Program Files\Quento\uninstall.exe"' \
    'QuietUninstallString REG_SZ "C:\Program Files\Quento\uninstall.exe" /S'; do
    grep -qxF "$value" "$work/key" || fail "$round: the uninstall key lacks $value"
  done
  size=$(( $(sed -n 's/^EstimatedSize REG_DWORD //p' "$work/key") ))
  (( size > 1024 )) || fail "$round: EstimatedSize is ${size:-missing} KiB"
  [[ $(reg "$uninstall" /s | grep -c "^DisplayName REG_SZ Quento") -eq 1 ]] ||
    fail "$round: not exactly one Quento entry in Apps & features"
  [[ $(path_entries) -eq 1 ]] || fail "$round: PATH does not name C:\\Program Files\\Quento once"
  echo "$round: the files, the shortcut, the uninstall entry ($size KiB) and PATH are there"
  # The installed quento-cli.exe by PATH alone, run from elsewhere, into the installed device.
  [[ $round == install ]] && wine_download "$installed/quento-device.exe" saved-setup wine cmd /c quento-cli.exe
done
cat "$work/key"
timeout 60 wine "$installed/uninstall.exe" /S </dev/null >/dev/null 2>&1 || fail "uninstall.exe /S failed"
for _ in $(seq 100); do
  if [[ ! -e $installed ]]; then break; fi
  sleep 0.1
done
left=$(find "$WINEPREFIX/drive_c" -iname '*quento*')
[[ -z $left ]] || fail "the uninstaller left $left"
! timeout 60 wine reg query "$uninstall\\Quento" </dev/null >/dev/null 2>&1 ||
  fail "the uninstaller left its key"
[[ $(path_entries) -eq 0 ]] || fail "the uninstaller left C:\\Program Files\\Quento in PATH"
wineserver -k && wineserver -w
! grep -il quento "$WINEPREFIX"/*.reg || fail "the registry still names Quento"
echo "uninstalled: no file, shortcut, key or PATH entry is left"
echo "== the station role installs $deb, then does nothing"
tests/ansible/role_test.sh "$deb" || [[ $? -eq 77 ]] || fail "the role quento.flash.station"
echo "== the packages are fine"
