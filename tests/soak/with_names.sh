#!/usr/bin/env bash
# The soak with names that alias its devices, from a hosts file only it sees (root and unshare,
# else skipped: soak_short runs the same rounds with addresses only).
#   with_names.sh QUENTO_SOAK SEED ROUNDS
set -uo pipefail
mapfile -t hosts < <("${1:?usage: with_names.sh QUENTO_SOAK SEED ROUNDS}" --hosts)
exec "$(dirname "$0")/../network/with_resolver.sh" "${hosts[@]}" -- "$@" names
