#!/usr/bin/env bash
# quento-cli with host names from a hosts file and a DNS server that only it sees
# (with_resolver.sh: root and unshare, else skipped): a name for 0.0.0.0 is never dialled, names
# answered late are asked at once, and Ctrl-C ends a run whose lookups hang. (Names that alias one
# device are the soak's.)
#   names_test.sh QUENTO_CLI
set -uo pipefail
cli="${1:?usage: names_test.sh QUENTO_CLI}"
here="$(dirname "$0")" work="$(mktemp -d)" failed=0
trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; failed=1; }
head -c 3000 /dev/urandom >"$work/fw.bin"

# resolved COMMAND...: runs it with the names below; its stdout and stderr in $out, status in $rc.
resolved() {
  out="$("$here/with_resolver.sh" '0.0.0.0 blocked' \
    '224.0.0.1 several' '10.9.0.9 several' slow1=10.9.0.1@2 slow2=10.9.0.2@2 slow3=10.9.0.3@2 \
    dead1=dead dead2=dead dead3=dead -- timeout 20 "$@" 2>&1)"
  rc=$?
}
# Names answered late, at once, the first usable address of several, one never answered.
resolved "$cli" --dry-run "$work/fw.bin" slow1 slow2 slow3 several dead1
((rc == 77)) && { echo "$out"; exit 77; }
[[ $rc == 0 && $(grep -c '^slow[123] (10.9.0.[123]:18810)$' <<<"$out") == 3 &&
  $out == *"several (10.9.0.9:18810)"*"dead1: not resolved (resolve: no answer within 3000 ms)"* ]] ||
  fail "slow, several and dead names: $rc $out"
# Dialled, it would say why the connect failed.
resolved "$cli" --json --pacing fast "$work/fw.bin" blocked:1
[[ $rc == 1 && $out == *"\"detail\":\"resolve: 'blocked' is 0.0.0.0, which no device can have\""* ]] ||
  fail "a name for 0.0.0.0: $rc $out"
resolved bash -c '"$0" --json "$1" dead1 dead2 dead3 & sleep 0.5; kill -INT $!; wait $!' \
  "$cli" "$work/fw.bin"
[[ $rc == 130 && $(grep -c '"outcome":"cancelled"' <<<"$out") == 3 ]] ||
  fail "Ctrl-C while the lookups hang: $rc $out"
((failed == 0)) && echo "all name tests passed"
exit $failed
