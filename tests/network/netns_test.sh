#!/usr/bin/env bash
# quento-cli in a network namespace, a device one link away and one behind a router (the tool
# sends with MSG_DONTROUTE, which must not keep it from a routed device); then the first link
# slowed with tbf, and set down mid-transfer. Needs root and iproute2, else exits 77 (skipped).
#   netns_test.sh QUENTO_CLI QUENTO_DEVICE
set -uo pipefail
cli="${1:?usage: netns_test.sh QUENTO_CLI QUENTO_DEVICE}"
device="${2:?usage: netns_test.sh QUENTO_CLI QUENTO_DEVICE}"
c="qn$$-c"  # the tool
r="qn$$-r"  # a device, and the router to the other
d="qn$$-d"  # the routed device

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" | tee -a "$work/failures"; }
# Runs its arguments every 10 ms until they succeed, for five seconds at most.
until_ok() {
  for _ in $(seq 500); do "$@" && return; sleep 0.01; done
  return 1
}
command -v tc >/dev/null || skip "iproute2 (ip, tc) is not installed"
[[ $(id -u) -eq 0 ]] || skip "network namespaces need root"
ip netns add "$c" 2>/dev/null || skip "'ip netns add' is not permitted here"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$work" "/etc/netns/$c"
  for ns in $c $r $d; do ip netns del $ns; done' EXIT
# Host names from a hosts file that only the tool's namespace sees; a name that cannot resolve
# asks no server but the namespace's own loopback, which is down.
mkdir -p "/etc/netns/$c" && echo "10.250.1.1 line3-slot07" >"/etc/netns/$c/hosts" &&
  echo "nameserver 127.0.0.1" >"/etc/netns/$c/resolv.conf" || exit 1
ip netns add "$r" && ip netns add "$d" || exit 1

# link A B N: a veth pair, A 10.250.N.1 and B 10.250.N.2.
link() {
  ip link add "to-$2" netns "$1" type veth peer name "to-$1" netns "$2" &&
    ip -n "$1" addr add "10.250.$3.1/24" dev "to-$2" && ip -n "$1" link set "to-$2" up &&
    ip -n "$2" addr add "10.250.$3.2/24" dev "to-$1" && ip -n "$2" link set "to-$1" up
}
link "$r" "$c" 1 && link "$r" "$d" 2 && ip netns exec "$r" sysctl -qw net.ipv4.ip_forward=1 &&
  ip -n "$c" route add 10.250.2.0/24 via 10.250.1.1 &&
  ip -n "$d" route add 10.250.1.0/24 via 10.250.2.1 || exit 1

# start NS ADDR: the simulator there; sets $endpoint once it says where it listens.
start() {
  ip netns exec "$1" "$device" --listen "$2:0" --save "$work" >"$work/$1.out" 2>&1 &
  until_ok grep -q '^listening on' "$work/$1.out" &&
    endpoint="$(sed -n 's/^listening on //p' "$work/$1.out")"
}
start "$r" 10.250.1.1 && near="$endpoint" && start "$d" 10.250.2.2 && far="$endpoint" || exit 1

# download NAME DEVICE_NS ENDPOINT success|ended [options]: a success has saved the very file.
download() {
  local fw="$work/$1.bin" out text saved
  head -c 12000 /dev/urandom >"$fw"
  saved="$(grep -c '^saved' "$work/$2.out")"
  out="$(timeout 60 ip netns exec "$c" "$cli" --json --pacing fast "${@:5}" "$fw" "$3")"
  text="$(sed -n 's/.*"message":"\([^"]*\)".*/\1/p' <<<"$out")"
  grep -qE "k(Success|NoResponse|VerifyFailed|SendFailed|ConnectFailed) = \"$text\"" \
    "$(dirname "$0")/../../src/operator/texts.h" || fail "$1: not an outcome text: $out"
  [[ $4 == ended || $out == *'"outcome":"success"'* ]] || fail "$1: expected success: $out"
  [[ $out == *'"outcome":"success"'* ]] || return
  until_ok test "$(grep -c '^saved' "$work/$2.out")" -gt "$saved"
  cmp "$(sed -n 's/^saved .* to //p' "$work/$2.out" | tail -n 1)" "$fw" ||
    fail "$1: success, but the device holds something else"
}

download direct "$r" "$near" success
download routed "$d" "$far" success
download by-name "$r" "line3-slot07:${near##*:}" success
out="$(timeout 60 ip netns exec "$c" "$cli" --json --retries 1 --retry-delay 0 "$work/direct.bin" \
  nowhere.invalid)"
[[ $(grep -c '"outcome":"connect_failed".*"detail":"resolve: ' <<<"$out") == 2 ]] ||
  fail "a name that cannot resolve: $out"
tc -n "$c" qdisc replace dev "to-$r" root tbf rate 256kbit burst 4kb latency 2s
tc -n "$r" qdisc replace dev "to-$c" root tbf rate 256kbit burst 4kb latency 2s
download slow "$r" "$near" success
download link-down "$r" "$near" ended --trace "$work/trace" &
until_ok grep -qs ' send 12345678040003' "$work/trace"  # down once block 3 is on its way
ip -n "$r" link set "to-$c" down
wait $!
[[ ! -s $work/failures ]] && echo "all network namespace tests passed"
