#!/usr/bin/env bash
# The soak with names that alias its devices, from a hosts file only it sees; where that cannot
# be had (no root, no unshare), the same rounds with addresses only.
#   with_names.sh QUENTO_SOAK SEED ROUNDS
set -uo pipefail
soak="${1:?usage: with_names.sh QUENTO_SOAK SEED ROUNDS}"
mapfile -t hosts < <("$soak" --hosts)
"$(dirname "$0")/../network/with_resolver.sh" "${hosts[@]}" -- "$@" names
status=$?
((status == 77)) && exec "$@"
exit $status
