#!/usr/bin/env bash
# Builds the fuzz targets with clang (build/fuzz) and runs each for SECONDS (default 60), starting
# from the corpus in tests/fuzz/corpus/<target>. Fails when any target finds a crash, a leak, an
# invariant broken or a run that hangs. New inputs go to build/fuzz/corpus, not into the repo.
#   tests/fuzz/run.sh [SECONDS]
set -euo pipefail
seconds="${1:-60}"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="$root/build/fuzz"

CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target quento_fuzz_frames quento_fuzz_frame_parser quento_fuzz_download

status=0
for target in frames frame_parser download; do
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target/"
  mkdir -p "$work" "$artifacts"
  echo "== quento_fuzz_$target: ${seconds} s"
  if ! "$build/quento_fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
      -max_len=4096 -print_final_stats=1 -artifact_prefix="$artifacts" \
      "$work" "$here/corpus/$target" 2>"$build/$target.log"; then
    status=1
    echo "quento_fuzz_$target FAILED; reproduce with: $build/quento_fuzz_$target $artifacts<file>"
    tail -n 40 "$build/$target.log"
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+.*DONE' \
    "$build/$target.log" || true
done
exit $status
