#!/usr/bin/env bash
# The wall time of COMMAND given 200 host names that the DNS server never answers, glibc waiting
# 30 s for each: a program that bounds its own lookups ends after about one wait, one that trusts
# the system's time-outs (or asks one name after another) does not. Root and unshare only, as
# tests/network/with_resolver.sh, which runs COMMAND.
#   bench/dead_resolver.sh COMMAND...   e.g. build/default/src/cli/quento-cli --json fw.bin
# The names dead-001 to dead-200 follow COMMAND's own arguments (DEAD_NAMES=N for N of them); a
# run still going after BENCH_TIMEOUT seconds (600) is ended, and its time printed all the same.
set -uo pipefail
(($# > 0)) || { echo "usage: dead_resolver.sh COMMAND [ARGUMENT]..." >&2; exit 2; }
names=()
for i in $(seq -f %03g "${DEAD_NAMES:-200}"); do names+=("dead-$i"); done
echo "${#names[@]} names the DNS server never answers, after: $*"
# Timed inside the namespace, so that the stub server's start is not counted.
exec "$(dirname "$0")/../tests/network/with_resolver.sh" '*=dead' -- bash -c '
  log="$(mktemp)" && start="$(date +%s.%N)"
  timeout "$0" "$@" >"$log" 2>&1
  status=$? end="$(date +%s.%N)"
  tail -n 3 "$log" && rm -f "$log"
  awk -v s="$start" -v e="$end" -v r="$status" \
    "BEGIN { printf \"wall %.2f s, exit status %d\n\", e - s, r }"' \
  "${BENCH_TIMEOUT:-600}" "$@" "${names[@]}"
