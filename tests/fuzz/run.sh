#!/usr/bin/env bash
# tests/fuzz/run.sh [SECONDS]: builds the fuzz targets with clang in build/fuzz and runs each for
# SECONDS (default 60) from tests/fuzz/corpus/<target>; fails on any crash, leak or hang.
set -euo pipefail
seconds="${1:-60}"
here="$(cd "$(dirname "$0")" && pwd)"
build="$(dirname "$(dirname "$here")")/build/fuzz"
CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2
for target in frame_parser download; do
  log="$build/$target.log"
  artifacts="$build/artifacts/$target/"
  mkdir -p "$build/corpus/$target" "$artifacts"
  echo "== quento_fuzz_$target: ${seconds} s"
  "$build/quento_fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
    -max_len=4096 -print_final_stats=1 -artifact_prefix="$artifacts" "$build/corpus/$target" \
    "$here/corpus/$target" 2>"$log" || {
    tail -n 40 "$log"
    echo "quento_fuzz_$target FAILED; the input that broke it is in $artifacts"
    exit 1
  }
  grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$log" || true
done
