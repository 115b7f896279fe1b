#!/usr/bin/env bash
# The quento.flash collection over real SSH: three stations as network namespaces, each with its
# own sshd and its own simulated devices on its own loopback; the controller is a fourth. line1
# and line1b are two inventory hosts on one station; line2 has a device that corrupts its
# read-back and slow replies, and drops out in one run; line3's sshd starts only for a later run;
# slip1-4 are inventory slips. ansible-playbook runs with a working folder other than its
# caller's $PWD, the image given relative to it through a symlink. Needs root, ansible-core and
# openssh-server, else exits 77 (skipped). With "bench N", every station reachable with N devices
# and a 4 KiB image: the playbook's time against quento-cli alone. Screenshots of the page go to
# $QUENTO_SHOTS (default: the test's own folder, removed at the end).
#   plant_test.sh QUENTO_CLI QUENTO_DEVICE [bench N]
set -uo pipefail
cli="${1:?usage: plant_test.sh QUENTO_CLI QUENTO_DEVICE [bench N]}"
device="${2:?usage: plant_test.sh QUENTO_CLI QUENTO_DEVICE [bench N]}"
bench="${4:-}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" | tee -a "$work/failures"; }
until_ok() { for _ in $(seq 1000); do "$@" && return; sleep 0.01; done; return 1; }
version="$(sed -n 's/^project(Quento VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
grep -qx "version: $version" "$root/ansible/ansible_collections/quento/flash/galaxy.yml" ||
  { echo "FAIL: galaxy.yml's version is not the project's $version"; exit 1; }
limit="$(sed -n 's/^MAX_IMAGE_BYTES = \([0-9]*\)\([0-9]\{3\}\)$/\1,\2/p' \
  "$root/ansible/ansible_collections/quento/flash/plugins/module_utils/station.py")"
"$cli" --help | grep -q "at most $limit bytes" || { echo "FAIL: image limit $limit"; exit 1; }
[[ $(id -u) -eq 0 ]] || skip "network namespaces need root"
command -v ansible-playbook >/dev/null && [[ -x /usr/sbin/sshd ]] || skip "no ansible-core/sshd"
c="qa$$-c"
ip netns add "$c" 2>/dev/null || skip "'ip netns add' is not permitted here"
work="$(mktemp -d)" && chmod 755 "$work" && mkdir -p "$work/out" /run/sshd
shots="${QUENTO_SHOTS:-$work}"
remote=/var/tmp/quento
# Every process in the test's namespaces is the test's: sshd, its sessions, ssh's control masters.
trap 'for ns in $c $c-1 $c-2 $c-3; do kill $(ip netns pids $ns 2>/dev/null) 2>/dev/null; done; wait
  for ns in $c $c-1 $c-2 $c-3; do ip netns del $ns 2>/dev/null; done
  rm -rf "$work" $remote/{line1,line1b,line2,line3,slip4}' EXIT
rm -rf $remote/{line1,line1b,line2,line3,slip4}
ssh-keygen -q -t ed25519 -N '' -f "$work/host" && ssh-keygen -q -t ed25519 -N '' -f "$work/id"
head -c 12000 /dev/urandom >"$work/fw.bin" && ln -s fw.bin "$work/current.bin"
inventory="$work/plant.yml"
printf 'all:\n  vars: {%s}\n  hosts:\n' "ansible_user: root, quento_cli: $cli, quento_pacing: fast,
    ansible_python_interpreter: /usr/bin/python3, ansible_ssh_private_key_file: $work/id,
    ansible_ssh_common_args: '-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null'" \
  >"$inventory"
listening() { [[ $(grep -cs '^listening on' "$work/devices$1.out") == "$2" ]]; }
ports() { sed -n 's/^listening on //p' "$work/devices$1.out" | sed -n "$2" | paste -sd,; }
host() { printf '    %s: {ansible_host: 10.250.%s.2, quento_devices: [%s]%s}\n' "$@" >>"$inventory"; }
# station N COUNT FIRST-LAST [OPTION...]: namespace, veth to the controller, COUNT devices, and
# sshd (not for line3 unless benchmarking).
station() {
  local ns="$c-$1" addr="10.250.$1.2"
  ip netns add "$ns" && ip -n "$ns" link set lo up &&
    ip link add "to-$1" netns "$c" type veth peer name ctl netns "$ns" &&
    ip -n "$c" addr add "10.250.$1.1/24" dev "to-$1" && ip -n "$c" link set "to-$1" up &&
    ip -n "$ns" addr add "$addr/24" dev ctl && ip -n "$ns" link set ctl up || return 1
  mkdir -p "$work/saved$1"
  ip netns exec "$ns" "$device" --listen "$3:0" --save "$work/saved$1" "${@:4}" \
    >"$work/devices$1.out" 2>&1 &
  until_ok listening "$1" "$2" || return 1
  [[ $1 == 3 && -z $bench ]] || sshd "$1"
}
# sshd N: station N's sshd, once it takes connections.
sshd() {
  local addr="10.250.$1.2"
  printf '%s\n' "ListenAddress $addr:22" "HostKey $work/host" "AuthorizedKeysFile $work/id.pub" \
    "PidFile $work/sshd$1.pid" "Subsystem sftp /usr/lib/openssh/sftp-server" "StrictModes no" \
    "UsePAM no" >"$work/sshd$1.conf"
  ip netns exec "$c-$1" /usr/sbin/sshd -f "$work/sshd$1.conf" -E "$work/sshd$1.log" &&
    until_ok ip netns exec "$c" bash -c ": 2>/dev/null >/dev/tcp/$addr/22"
}
# The caller's $PWD is not the folder ansible-playbook runs in, as under a scheduler.
play() {
  (cd "$work/out" && PWD=/ ANSIBLE_COLLECTIONS_PATH="$root/ansible" ANSIBLE_NOCOLOR=1 \
    ANSIBLE_SSH_CONTROL_PATH_DIR="$work/cp" ANSIBLE_PIPELINING="${ANSIBLE_PIPELINING:-1}" \
    timeout 300 ip netns exec "$c" ansible-playbook "${QUENTO_PLAYBOOK:-quento.flash.flash_line}" -i "$inventory" \
    -e quento_image=../current.bin "$@")
}
if [[ -n $bench ]]; then
  head -c 4096 /dev/urandom >"$work/fw.bin"
  for n in 1 2 3; do
    station $n "$bench" "127.$n.0.1-127.$n.$((bench / 256)).$((bench % 256))" || exit 1
    host "line$n" $n "$(ports $n p)" ""
  done
  t0=$(date +%s.%N)
  ip netns exec "$c-1" "$cli" --json --pacing fast "$work/fw.bin" \
    $(sed -n 's/^listening on //p' "$work/devices1.out") >"$work/alone.json"
  t1=$(date +%s.%N) && ANSIBLE_LOG_PATH="$work/timing.log" play "${@:5}" >"$work/bench.log" 2>&1
  t2=$(date +%s.%N)
  sed -n '/PLAY RECAP/,$p' "$work/bench.log"
  grep -E "(TASK|PLAY) \[" "$work/timing.log" | cut -d" " -f2,6-12
  echo "3 stations x $bench devices: playbook $(awk "BEGIN{print $t2 - $t1}") s," \
    "quento-cli alone on one station $(awk "BEGIN{print $t1 - $t0}") s;" \
    "rows $(($(wc -l <"$work/out/plant.csv") - 1))"
  exit
fi
station 1 6 127.0.1.1-127.0.1.6 && station 3 2 127.0.3.1-127.0.3.2 &&
  station 2 3 127.0.2.1-127.0.2.3 --fault delay:40 --fault 127.0.2.3/corrupt-read:0 || exit 1
host line1 1 "$(ports 1 1,3p)" ""
host line1b 1 "$(ports 1 4,5p)" ""
host line2 2 "$(ports 2 p)" ", ansible_ssh_extra_args: '-o ServerAliveInterval=1 -o ServerAliveCountMax=2'"
host line3 3 "$(ports 3 p)" ""
host slip1 1 "" ""
echo "    slip2: {ansible_host: 10.250.1.2, quento_device: [127.0.1.9]}" >>"$inventory"
host slip3 1 "127.0.1.1-127.0.1.2:$(ports 1 1p | cut -d: -f2), $(ports 1 1p)" ""
host slip4 1 "localhost:$(ports 1 1p | cut -d: -f2), 127.0.0.1:$(ports 1 1p | cut -d: -f2)" ""
# The latest rows of the plant CSV as "station device outcome", and every row's key once.
outcomes() { python3 -c 'import csv,sys
for r in csv.DictReader(open(sys.argv[1], newline="")):
    print(r["station"], r["device"], r["outcome"], r["image"])' "${1:-$work/out/plant.csv}"; }
once() { [[ -z $(python3 -c 'import csv,sys,collections
k=collections.Counter((r["station"],r["device"],r["attempt"],r["time"])
  for r in csv.DictReader(open(sys.argv[1], newline="")))
print(*[x for x, n in k.items() if n > 1])' "${1:-$work/out/plant.csv}") ]]; }
recap() { sed -n '/PLAY RECAP/,$p' "$work/$1.log" | grep -Eq "^$2 .*$3"; }
saves() { cat "$work"/saved*/* 2>/dev/null | wc -c; }
command -v chromium >/dev/null || skip "chromium is not installed"
# check_page SUCCEEDED DEVICES TEXT [OPTION]: the page, in a network namespace of its own with
# nothing in it, shows the numbers and TEXT, with no console message; OPTION as well.
check_page() {
  local dom
  grep -qiE '(src|href)=|url\(' "$work/out/plant.html" && fail "the page refers to other files"
  dom="$(unshare -n timeout 60 chromium --headless --no-sandbox --disable-gpu \
    --window-size=1280,1000 --virtual-time-budget=2000 --enable-logging=stderr --v=0 \
    --dump-dom "${@:4}" "file://$work/out/plant.html" 2>"$work/chromium.err")"
  grep -q "id=\"total-ok\">$1<" <<<"$dom" && grep -q "id=\"total\">$2<" <<<"$dom" &&
    grep -qF "$3" <<<"$dom" || fail "the page: $dom"
  grep -i 'console' "$work/chromium.err" && fail "console messages from the page"
}
start=$SECONDS
# Refused before any station is touched: the whole play fails, no image leaves the controller.
mkdir -p "$work/semi" && printf 'time;station;device\r\n' >"$work/semi/plant.csv"
while IFS='|' read -r what args words; do
  play $args >"$work/refused.log" 2>&1 && fail "$what: the play succeeded"
  grep -qF -- "$words" "$work/refused.log" && [[ ! -e $remote/line1 && $(saves) == 0 ]] ||
    fail "$what: $(cat "$work/refused.log")"
done <<EOF
missing report folder|-e quento_report_dir=/no/such/dir|the report folder /no/such/dir does not exist
folder as the image|-e quento_image=$work|is not a file (quento_image)
';' plant CSV|-e quento_report_dir=$work/semi|separated by ';'
EOF
[[ $(cat "$work/semi/plant.csv") == $'time;station;device\r' && ! -e $work/semi/plant.html.tmp ]] ||
  fail "the ';' plant CSV was changed"
# Check mode finds what the real run refuses, and contacts no device.
play --check >"$work/check.log" 2>&1
recap check line1 'failed=0 ' && recap check line2 'failed=0 ' && recap check slip1 'failed=1 ' &&
  recap check slip4 'failed=1 ' &&
  [[ ! -e $work/out/plant.csv && $(saves) == 0 ]] || fail "check mode: $(cat "$work/check.log")"
play >"$work/play1.log" 2>&1 && fail "the first run succeeded"
echo "first run: $((SECONDS - start)) s"
for said in "slip1.*no devices: set quento_devices" \
  "slip2.*unknown variable quento_device \(did you mean quento_devices\?\)" \
  "slip3.*is given twice" "slip4.*refused: quento-cli: device 127.0.0.1:.* is given 2 times" \
  "line3.*no answer over SSH" "line2.*1 of 3 devices failed"; do
  grep -Eq "$said" "$work/play1.log" || fail "play 1 does not say $said"
done
recap play1 line1 'failed=0 ' && recap play1 line1b 'failed=0 ' && recap play1 line2 'failed=1 ' &&
  recap play1 line3 'failed=1 ' || fail "play 1's recap: $(cat "$work/play1.log")"
expected="$( { ports 1 1,3p | tr , '\n' | sed 's/^/line1 /'; ports 1 4,5p | tr , '\n' |
  sed 's/^/line1b /'; ports 2 1,2p | tr , '\n' | sed 's/^/line2 /'; } | sed 's/$/ success fw.bin/'
  echo "line2 $(ports 2 3p) verify_failed fw.bin")"
[[ $(outcomes | sort) == $(sort <<<"$expected") ]] || fail "plant.csv: $(outcomes)"
for f in "$work"/saved*/*; do cmp -s "$f" "$work/fw.bin" || fail "$f is not the image"; done
check_page 7 8 "no answer over SSH" --screenshot="$shots/plant-report.png"

# line1 drops a device and gains one; line2 drops out while its failed device is written; the
# plant CSV's last row was cut short.
sed -i "s/\(line1: .*\[\).*\]/\1$(ports 1 1,2p),$(ports 1 6p)]/" "$inventory"
printf '2026-12-07T00:00:00Z,line9,"cut' >>"$work/out/plant.csv"
before=$(ls "$work/saved1" | wc -l)
play -e quento_only_failed=plant.csv -e quento_stations=line1:line2 >"$work/play2.log" 2>&1 &
until_ok pgrep -f "quento-cli.*$(ports 2 3p)" >/dev/null && ip -n "$c" link set to-2 down
wait $!
ip -n "$c" link set to-2 up
[[ $(ls "$work/saved1") == *"$(ports 1 6p | tr : _)"* && $(ls "$work/saved1" | wc -l) == $((before + 1)) ]] ||
  fail "line1 flashed other than its added device: $(ls "$work/saved1")"
recap play2 line2 'failed=1 ' && grep -q '"msg": "no answer over SSH' "$work/play2.log" ||
  fail "line2's drop: $(cat "$work/play2.log")"
[[ $(cat "$work/out/plant.csv.cut") == *'line9,"cut'* ]] && once || fail "the cut row: $(outcomes)"
until_ok bash -c "[[ \$(grep -c verify_failed $remote/line2/report.csv) == 2 ]]" ||
  fail "line2's second row never came"

# line2 is back and line3 too: line2's row from the run it dropped out of arrives, once.
sshd 3 || exit 1
play -e quento_only_failed=plant.csv -e quento_stations=line1:line2:line3 >"$work/play3.log" 2>&1
[[ $(outcomes | grep -c "^line2 $(ports 2 3p) verify_failed") == 3 ]] && once ||
  fail "line2's rows: $(outcomes)"
[[ $(outcomes | grep -c '^line3 .* success fw.bin') == 2 ]] || fail "line3: $(outcomes)"
check_page 10 11 '<details'

# The page cannot be written (a folder has its name): every station's own failure is shown, the
# rest fail with the reason, the rows are in the CSV all the same (a new plant CSV takes each
# station's whole report).
mkdir -p "$work/broken/plant.html" && play -e quento_report_dir="$work/broken" \
  -e quento_stations=line1:line2 >"$work/broken.log" 2>&1 && fail "a broken merge succeeded"
grep -q 'line2.*1 of 3 devices failed.*the plant report was not written' "$work/broken.log" &&
  grep -q 'line1.*"msg": "the plant report was not written' "$work/broken.log" &&
  [[ $(grep -c ',line[12],' "$work/broken/plant.csv") -ge 6 && ! -e $work/broken/plant.html.tmp ]] &&
  once "$work/broken/plant.csv" || fail "broken merge: $(cat "$work/broken.log")"

# One station at a time, none may fail: line2 fails, line3 is never run, and the page says why.
mkdir -p "$work/rollout" && play -e quento_serial=1 -e quento_max_fail_percentage=0 \
  -e quento_report_dir="$work/rollout" -e quento_stations=line1:line2:line3 >"$work/play4.log" 2>&1
grep -q "the rollout stopped" "$work/rollout/plant.html" &&
  ! grep -q '^line3' <(outcomes "$work/rollout/plant.csv") ||
  fail "stopped rollout: $(cat "$work/play4.log")"
echo "plant test: $((SECONDS - start)) s"
if command -v ansible-lint >/dev/null; then
  (cd "$root/ansible/ansible_collections/quento/flash" &&
    ANSIBLE_COLLECTIONS_PATH="$root/ansible" timeout 300 ansible-lint -q --nocolor \
    >"$work/lint.log" 2>&1) || fail "ansible-lint: $(cat "$work/lint.log")"
fi
[[ ! -s $work/failures ]] && echo "all plant tests passed"
