#!/usr/bin/env bash
# quento-cli with host names from a hosts file and a DNS server that only it sees
# (with_resolver.sh: root and unshare, else skipped): names that alias one device are one device,
# a name for 0.0.0.0 is never dialled, and Ctrl-C ends a run whose lookups hang.
#   names_test.sh QUENTO_CLI QUENTO_DEVICE
set -uo pipefail
cli="${1:?usage: names_test.sh QUENTO_CLI QUENTO_DEVICE}" device="${2:?}"
here="$(dirname "$0")" work="$(mktemp -d)" failed=0
trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; failed=1; }
head -c 3000 /dev/urandom >"$work/fw.bin"
"$device" --listen 127.0.0.1:0 >"$work/device.out" 2>&1 &
for _ in $(seq 500); do grep -q '^listening' "$work/device.out" && break; sleep 0.01; done
port="$(sed -n 's/^listening on 127.0.0.1://p' "$work/device.out")"
[[ -n $port ]] || { echo "the simulator did not start"; exit 1; }

# resolved COMMAND...: runs it with the names below; its stdout and stderr in $out, status in $rc.
resolved() {
  out="$("$here/with_resolver.sh" '127.0.3.1 slot1 twin slot1alias' '0.0.0.0 blocked' \
    dead1=dead dead2=dead dead3=dead -- timeout 20 "$@" 2>&1)"
  rc=$?
}
resolved "$cli" --dry-run "$work/fw.bin" slot1 twin slot1alias 127.0.3.1
((rc == 77)) && { echo "$out"; exit 77; }
[[ $rc == 2 && $out == *"device 127.0.3.1:18810 is given 4 times: 'slot1'"*"'twin'"* ]] ||
  fail "three names and the address of one device: $rc $out"
resolved "$cli" --json --pacing fast "$work/fw.bin" "blocked:$port"
[[ $rc == 1 && $out == *"\"detail\":\"resolve: 'blocked' is 0.0.0.0, which no device can have\""* ]] ||
  fail "a name for 0.0.0.0: $rc $out"
resolved "$cli" "$work/fw.bin" 0x0
[[ $rc == 2 && $out == *"'0x0' is a number but not a dotted-quad address"* ]] || fail "0x0: $rc $out"
resolved bash -c '"$0" --json "$1" dead1 dead2 dead3 & sleep 0.5; kill -INT $!; wait $!' \
  "$cli" "$work/fw.bin"
[[ $rc == 130 && $(grep -c '"outcome":"cancelled"' <<<"$out") == 3 ]] ||
  fail "Ctrl-C while the lookups hang: $rc $out"
grep -q '^saved' "$work/device.out" && fail "a device was flashed: $(cat "$work/device.out")"
((failed == 0)) && echo "all name tests passed"
exit $failed
