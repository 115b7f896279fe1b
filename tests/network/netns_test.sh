#!/usr/bin/env bash
# quento-cli and quento-device in network namespaces of their own, joined by veth pairs:
#   direct      one link, standard pacing
#   routed      the device on another subnet, behind a namespace that forwards (the tool sends
#               with MSG_DONTROUTE, which must not keep it from a routed device)
#   slow        a link shaped with tbf; a much slower one must still end with an outcome
#   link-down   the device's link goes down mid-transfer
# The addresses (10.250.x.y) exist only inside the namespaces made here, which are removed on
# every exit. Needs root (CAP_NET_ADMIN) and iproute2; otherwise exits 77 (skipped).
#   netns_test.sh QUENTO_CLI QUENTO_DEVICE
set -uo pipefail

cli="${1:?usage: netns_test.sh QUENTO_CLI QUENTO_DEVICE}"
device="${2:?usage: netns_test.sh QUENTO_CLI QUENTO_DEVICE}"
texts="$(cd "$(dirname "$0")/../../src/protocol" && pwd)/texts.h"

skip() { echo "SKIP: $*"; exit 77; }
command -v ip >/dev/null || skip "iproute2 (ip) is not installed"
[[ $(id -u) -eq 0 ]] || skip "network namespaces need root (CAP_NET_ADMIN)"

tag="qn$$"
work="$(mktemp -d)"
namespaces=()
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ip netns add "$tag-probe" 2>/dev/null || skip "'ip netns add' is not permitted here"
ip netns del "$tag-probe"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

text_of() { sed -n "s/.*\\bk$1 = \"\\(.*\\)\";/\\1/p" "$texts"; }
declare -A message=(
  [success]="$(text_of Success)" [no_response]="$(text_of NoResponse)"
  [verify_failed]="$(text_of VerifyFailed)" [send_failed]="$(text_of SendFailed)"
  [connect_failed]="$(text_of ConnectFailed)")
[[ -n "${message[success]}" && -n "${message[connect_failed]}" ]] || {
  echo "cannot read the outcome texts from $texts"; exit 1; }

add_ns() { ip netns add "$1" && namespaces+=("$1") && ip -n "$1" link set lo up; }

# link NS_A IF_A ADDR_A/24 NS_B IF_B ADDR_B/24
link() {
  ip link add "$2" netns "$1" type veth peer name "$5" netns "$4" &&
    ip -n "$1" addr add "$3" dev "$2" && ip -n "$4" addr add "$6" dev "$5" &&
    ip -n "$1" link set "$2" up && ip -n "$4" link set "$5" up
}

# start_device NS ADDR: the simulator, saving under $work/NS; sets $endpoint.
start_device() {
  mkdir -p "$work/$1"
  ip netns exec "$1" "$device" --listen "$2:0" --save "$work/$1" >"$work/$1.out" 2>&1 &
  pids+=($!)
  endpoint=""
  for _ in $(seq 400); do
    endpoint="$(sed -n 's/^listening on //p' "$work/$1.out")"
    [[ -n "$endpoint" ]] && return 0
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.025
  done
  cat "$work/$1.out"
  return 1
}

firmware() { head -c "$1" /dev/urandom >"$work/fw-$1.bin"; echo "$work/fw-$1.bin"; }

# download NAME CLIENT_NS DEVICE_NS FIRMWARE EXPECTED [quento-cli options...]
# EXPECTED: "success", or "ended" for any outcome text. Sets $outcome.
download() {
  local name="$1" ns="$2" dev_ns="$3" fw="$4" expected="$5"
  shift 5
  local started
  started=$(date +%s)
  local out
  out="$(timeout 180 ip netns exec "$ns" "$cli" --json "$@" "$fw" "$endpoint" 2>"$work/$name.err")"
  local status=$?
  outcome="$(sed -n 's/.*"outcome":"\([a-z_]*\)".*/\1/p' <<<"$out")"
  local text
  text="$(sed -n 's/.*"message":"\([^"]*\)".*/\1/p' <<<"$out")"
  echo "$name: $outcome ($text), exit $status, $(( $(date +%s) - started )) s"
  if [[ $status -eq 124 ]]; then fail "$name: quento-cli did not end"; return 1; fi
  if [[ -z "$outcome" || "${message[$outcome]-}" != "$text" ]]; then
    fail "$name: not an outcome text: $out $(cat "$work/$name.err")"; return 1
  fi
  if [[ "$expected" == success && "$outcome" != success ]]; then
    fail "$name: expected success"; return 1
  fi
  if [[ "$outcome" == success ]]; then
    local saved=""
    for _ in $(seq 400); do
      saved="$(sed -n 's/^saved [0-9]* bytes from .* to //p' "$work/$dev_ns.out" | tail -n 1)"
      [[ -n "$saved" ]] && break
      sleep 0.025
    done
    if [[ -z "$saved" ]] || ! cmp -s "$saved" "$fw"; then
      fail "$name: success, but the device did not save the operator's file"
      return 1
    fi
  fi
  return 0
}

echo "== direct link"
add_ns "$tag-c1" && add_ns "$tag-d1" &&
  link "$tag-c1" veth0 10.250.1.2/24 "$tag-d1" veth0 10.250.1.1/24 &&
  start_device "$tag-d1" 10.250.1.1 || { fail "direct: setup"; }
[[ -n "${endpoint:-}" ]] && download direct "$tag-c1" "$tag-d1" "$(firmware 2500)" success

echo "== routed: the device on another subnet"
add_ns "$tag-c2" && add_ns "$tag-r2" && add_ns "$tag-d2" &&
  link "$tag-c2" veth0 10.250.2.2/24 "$tag-r2" veth0 10.250.2.1/24 &&
  link "$tag-r2" veth1 10.250.3.1/24 "$tag-d2" veth0 10.250.3.2/24 &&
  ip netns exec "$tag-r2" sysctl -qw net.ipv4.ip_forward=1 &&
  ip -n "$tag-c2" route add 10.250.3.0/24 via 10.250.2.1 &&
  ip -n "$tag-d2" route add 10.250.2.0/24 via 10.250.3.1 &&
  start_device "$tag-d2" 10.250.3.2 || { fail "routed: setup"; endpoint=""; }
if [[ -n "$endpoint" ]]; then
  download routed "$tag-c2" "$tag-d2" "$(firmware 20000)" success --pacing fast
  forwarded="$(ip netns exec "$tag-r2" awk '/^Ip: [0-9]/ {print $7}' /proc/net/snmp)"
  echo "routed: the router forwarded $forwarded datagrams"
  [[ "${forwarded:-0}" -gt 0 ]] || fail "routed: nothing went through the router"
fi

echo "== slow links (tbf)"
if command -v tc >/dev/null; then
  add_ns "$tag-c3" && add_ns "$tag-d3" &&
    link "$tag-c3" veth0 10.250.4.2/24 "$tag-d3" veth0 10.250.4.1/24 &&
    start_device "$tag-d3" 10.250.4.1 || { fail "slow: setup"; endpoint=""; }
  if [[ -n "$endpoint" ]]; then
    shape() {
      ip -n "$tag-c3" link set veth0 down; ip -n "$tag-c3" link set veth0 up  # fresh queues
      for ns in "$tag-c3" "$tag-d3"; do
        tc -n "$ns" qdisc replace dev veth0 root tbf rate "$1" burst "$2" latency 2s
      done
    }
    shape 256kbit 4kb
    download slow-256kbit "$tag-c3" "$tag-d3" "$(firmware 16000)" success --pacing fast
    # About one second per 1 KiB block: read-back replies outlast the tool's one-second wait.
    shape 8kbit 2kb
    download slow-8kbit "$tag-c3" "$tag-d3" "$(firmware 3000)" ended --pacing fast
  fi
else
  echo "slow: skipped, tc (iproute2) is not installed"
fi

echo "== link down mid-transfer"
add_ns "$tag-c4" && add_ns "$tag-d4" &&
  link "$tag-c4" veth0 10.250.5.2/24 "$tag-d4" veth0 10.250.5.1/24 &&
  start_device "$tag-d4" 10.250.5.1 || { fail "link-down: setup"; endpoint=""; }
if [[ -n "$endpoint" ]]; then
  trace="$work/link-down.trace"
  fw="$(firmware 12000)"
  download link-down "$tag-c4" "$tag-d4" "$fw" ended --trace "$trace" &
  waiter=$!
  # Down once the writing is under way (standard pacing: about a third of a second a frame).
  for _ in $(seq 800); do
    [[ $(grep -c ' send 12345678' "$trace" 2>/dev/null) -ge 4 ]] && break
    sleep 0.025
  done
  ip -n "$tag-d4" link set veth0 down
  echo "link-down: device link down after $(grep -c ' send ' "$trace" 2>/dev/null) frames"
  # The background shell's count is its own: take its verdict from its exit status.
  wait "$waiter" || failures=$((failures + 1))
fi

if [[ $failures -gt 0 ]]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all network namespace tests passed"
