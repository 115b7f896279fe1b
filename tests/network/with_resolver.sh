#!/usr/bin/env bash
# Runs COMMAND with name lookups of its own: a hosts file of the HOSTS lines given (and localhost)
# and tests/support/stub_dns.py as the only DNS server, which glibc waits 30 s for (options
# timeout:30 attempts:1). Only COMMAND and its children see them (a private mount namespace); the
# network is the machine's. Exits 77 (skipped) without root or unshare, else with COMMAND's status.
#   with_resolver.sh ['ADDR NAME' | NAME=ADDR[@SECONDS] | NAME=dead | '*=dead']... -- COMMAND...
set -uo pipefail
hosts=(127.0.0.1\ localhost) records=()
while (($# > 0)) && [[ $1 != -- ]]; do
  if [[ $1 == *' '* ]]; then hosts+=("$1"); else records+=("$1"); fi
  shift
done
(($# > 1)) || { echo "usage: with_resolver.sh [HOSTS_LINE|NAME=RULE]... -- COMMAND..." >&2; exit 2; }
shift
[[ $(id -u) -eq 0 ]] || { echo "SKIP: a private /etc/hosts needs root"; exit 77; }
unshare -m true 2>/dev/null || { echo "SKIP: 'unshare -m' is not permitted here"; exit 77; }
work="$(mktemp -d)"
coproc STUB { exec python3 "$(dirname "$0")/../support/stub_dns.py" "${records[@]}"; }
trap 'kill "$STUB_PID" 2>/dev/null; rm -rf "$work"' EXIT
read -r -t 10 -u "${STUB[0]}" line && [[ $line == 'listening on '* ]] ||
  { echo "the stub DNS server did not start: ${line:-}" >&2; exit 1; }
printf '%s\n' "${hosts[@]}" >"$work/hosts"
printf 'nameserver %s\noptions timeout:30 attempts:1\n' "${line#listening on }" >"$work/resolv.conf"
unshare -m --propagation private sh -c \
  'mount --bind "$1" /etc/hosts && mount --bind "$2" /etc/resolv.conf && shift 2 && exec "$@"' \
  sh "$work/hosts" "$work/resolv.conf" "$@"
