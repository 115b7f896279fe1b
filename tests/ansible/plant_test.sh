#!/usr/bin/env bash
# The quento.flash collection over real SSH: three stations as network namespaces, each with its
# own sshd and its own simulated devices on its own loopback; the controller is a fourth. Station
# line2 has a device that corrupts its read-back, line3's sshd starts only for the re-run of what
# failed. Needs root, ansible-core and openssh-server, else exits 77 (skipped). With "bench N",
# every station reachable with N devices and a 4 KiB image: the playbook's time against
# quento-cli alone.
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
[[ $(id -u) -eq 0 ]] || skip "network namespaces need root"
command -v ansible-playbook >/dev/null && [[ -x /usr/sbin/sshd ]] || skip "no ansible-core/sshd"
c="qa$$-c"
ip netns add "$c" 2>/dev/null || skip "'ip netns add' is not permitted here"
work="$(mktemp -d)" && chmod 755 "$work" && mkdir -p "$work/out" /run/sshd
# Every process in the test's namespaces is the test's: sshd, its sessions, ssh's control masters.
trap 'for ns in $c $c-1 $c-2 $c-3; do kill $(ip netns pids $ns 2>/dev/null) 2>/dev/null; done; wait
  for ns in $c $c-1 $c-2 $c-3; do ip netns del $ns 2>/dev/null; done; rm -rf "$work"' EXIT
ssh-keygen -q -t ed25519 -N '' -f "$work/host" && ssh-keygen -q -t ed25519 -N '' -f "$work/id"
head -c 12000 /dev/urandom >"$work/fw.bin"
inventory="$work/plant.yml"
printf 'all:\n  vars: {%s}\n  hosts:\n' "ansible_user: root, quento_cli: $cli, quento_pacing: fast,
    ansible_python_interpreter: /usr/bin/python3, ansible_ssh_private_key_file: $work/id,
    ansible_ssh_common_args: '-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null'" \
  >"$inventory"
listening() { [[ $(grep -cs '^listening on' "$work/devices$1.out") == "$2" ]]; }
# station N COUNT FIRST-LAST [OPTION...]: namespace, veth to the controller, sshd (not for line3
# unless benchmarking), COUNT devices.
station() {
  local ns="$c-$1" addr="10.250.$1.2"
  ip netns add "$ns" && ip -n "$ns" link set lo up &&
    ip link add "to-$1" netns "$c" type veth peer name ctl netns "$ns" &&
    ip -n "$c" addr add "10.250.$1.1/24" dev "to-$1" && ip -n "$c" link set "to-$1" up &&
    ip -n "$ns" addr add "$addr/24" dev ctl && ip -n "$ns" link set ctl up || return 1
  mkdir -p "$work/saved$1"
  ip netns exec "$ns" "$device" --listen "$3:0" "${@:4}" >"$work/devices$1.out" 2>&1 &
  until_ok listening "$1" "$2" || return 1
  printf '    line%s: {ansible_host: %s, quento_remote_dir: %s, quento_devices: [%s]}\n' "$1" \
    "$addr" "$work/line$1/quento" \
    "$(sed -n 's/^listening on //p' "$work/devices$1.out" | paste -sd,)" >>"$inventory"
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
if [[ -n $bench ]]; then
  head -c 4096 /dev/urandom >"$work/fw.bin"
  for n in 1 2 3; do
    station $n "$bench" "127.$n.0.1-127.$n.$((bench / 256)).$((bench % 256))" || exit 1
  done
else station 1 3 127.0.1.1-127.0.1.3 --save "$work/saved1" &&
  station 2 3 127.0.2.1-127.0.2.3 --save "$work/saved2" --fault 127.0.2.3/corrupt-read:0 &&
  station 3 2 127.0.3.1-127.0.3.2 --save "$work/saved3" || exit 1
fi

play() {
  (cd "$work/out" && ANSIBLE_COLLECTIONS_PATH="$root/ansible" ANSIBLE_NOCOLOR=1 \
    ANSIBLE_SSH_CONTROL_PATH_DIR="$work/cp" ANSIBLE_PIPELINING=1 \
    timeout 300 ip netns exec "$c" ansible-playbook quento.flash.flash_line -i "$inventory" \
    -e quento_image="$work/fw.bin" "$@")
}
# The latest outcome of every device in the plant CSV, as "station device outcome".
outcomes() { python3 -c 'import csv,sys
for r in csv.DictReader(open(sys.argv[1], newline="")):
    print(r["station"], r["device"], r["outcome"])' "$work/out/plant.csv"; }
if [[ -n $bench ]]; then
  t0=$(date +%s.%N)
  ip netns exec "$c-1" "$cli" --json --pacing fast "$work/fw.bin" \
    $(sed -n 's/^listening on //p' "$work/devices1.out") >"$work/alone.json"
  t1=$(date +%s.%N) && ANSIBLE_LOG_PATH="$work/timing.log" play >"$work/bench.log" 2>&1
  t2=$(date +%s.%N)
  sed -n '/PLAY RECAP/,$p' "$work/bench.log"
  grep -E "(TASK|PLAY) \[" "$work/timing.log" | cut -d" " -f2,6-12
  echo "3 stations x $bench devices: playbook $(awk "BEGIN{print $t2 - $t1}") s," \
    "quento-cli alone on one station $(awk "BEGIN{print $t1 - $t0}") s;" \
    "rows $(($(wc -l <"$work/out/plant.csv") - 1))"
  exit
fi
command -v chromium >/dev/null || skip "chromium is not installed"
# check_page SUCCEEDED DEVICES TEXT [OPTION]: the page, in a network namespace of its own with
# nothing in it, shows the CSV's numbers and TEXT, with no console message; OPTION as well.
check_page() {
  local dom
  grep -qiE '(src|href)=|url\(' "$work/out/plant.html" && fail "the page refers to other files"
  dom="$(unshare -n timeout 60 chromium --headless --no-sandbox --disable-gpu \
    --window-size=1000,760 --virtual-time-budget=2000 --enable-logging=stderr --v=0 \
    --dump-dom "${@:4}" "file://$work/out/plant.html" 2>"$work/chromium.err")"
  grep -q "id=\"total-ok\">$1<" <<<"$dom" && grep -q "id=\"total\">$2<" <<<"$dom" &&
    grep -q '<svg' <<<"$dom" && grep -qF "$3" <<<"$dom" || fail "the page: $dom"
  grep -i 'console' "$work/chromium.err" && fail "console messages from the page"
}
start=$SECONDS
# Check mode asks the stations about the program and the image, and contacts no device.
play --check >"$work/check.log" 2>&1
grep -Eq '^line2 .*failed=0 ' "$work/check.log" && [[ ! -e $work/out/plant.csv ]] &&
  [[ -z $(find "$work"/saved* -type f) ]] || fail "check mode: $(cat "$work/check.log")"
play >"$work/play1.log" 2>&1
recap="$(sed -n '/PLAY RECAP/,$p' "$work/play1.log")"
echo "$recap"
grep -Eq '^line1 .*failed=0 ' <<<"$recap" && grep -Eq '^line2 .*failed=1 ' <<<"$recap" &&
  grep -Eq '^line3 .*unreachable=1 ' <<<"$recap" || fail "play recap: $(cat "$work/play1.log")"
for n in 1 2; do
  for f in "$work/saved$n"/*; do cmp -s "$f" "$work/fw.bin" || fail "$f is not the image"; done
  [[ $(ls "$work/saved$n" | wc -l) == $((4 - n)) ]] || fail "line$n: not every good device saved"
done
expected="$(for n in 1 2; do sed -n 's/^listening on \(.*\)/line'$n' \1 success/p' \
  "$work/devices$n.out"; done | sed '$s/success$/verify_failed/')"
[[ $(outcomes | sort) == $(sort <<<"$expected") ]] || fail "plant.csv: $(outcomes)"
head -n 3 "$work/out/plant.csv"
check_page 5 6 'line3</td><td colspan="4">not reached' --screenshot="$root/docs/plant-report.png"

echo "first run: $((SECONDS - start)) s"
# line3 is back: the re-run flashes its devices and line2's failed one, nothing else.
sshd 3 || exit 1
play -e quento_only_failed=plant.csv >"$work/play2.log" 2>&1
[[ $(outcomes | tail -n +7 | sort) == "$( (tail -n 1 <<<"$expected"
  sed -n 's/^listening on \(.*\)/line3 \1 success/p' "$work/devices3.out") | sort)" ]] ||
  fail "the re-run: $(outcomes)"
[[ $(find "$work"/saved[12] -type f | wc -l) == 5 && $(ls "$work/saved3" | wc -l) == 2 ]] ||
  fail "the re-run wrote a good device again, or not line3's"
check_page 7 8 '<td>line3</td><td class="num">2</td>'

echo "plant test: $((SECONDS - start)) s"
if command -v ansible-lint >/dev/null; then
  (cd "$root/ansible/ansible_collections/quento/flash" &&
    ANSIBLE_COLLECTIONS_PATH="$root/ansible" timeout 300 ansible-lint -q --nocolor \
    >"$work/lint.log" 2>&1) || fail "ansible-lint: $(cat "$work/lint.log")"
fi
[[ ! -s $work/failures ]] && echo "all plant tests passed"
