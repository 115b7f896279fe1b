#!/usr/bin/env bash
# The project's front door.
#   ./build.sh demo    install what is missing, build, and flash a sample image into the simulator
#   ./build.sh test    install what is missing, build everything, and run the whole test suite
#   ./build.sh build   build the Linux programs only
#   ./build.sh sanitizers   the Linux tests under ASan+UBSan and under TSan
#   ./build.sh fuzz [SECONDS]   each fuzz target for SECONDS (default 60)
set -euo pipefail
cd "$(dirname "$0")"

build_linux() {
  cmake --preset default >/dev/null
  cmake --build --preset default -j "$(nproc)"
}

build_windows() {
  cmake --preset mingw >/dev/null
  cmake --build --preset mingw -j "$(nproc)"
}

case "${1:-}" in
  demo)
    scripts/install-deps.sh
    build_linux
    exec scripts/demo.sh
    ;;
  test)
    scripts/install-deps.sh
    build_linux
    build_windows
    status=0
    ctest --preset default || status=1
    ctest --preset mingw || status=1
    exit $status
    ;;
  build)
    build_linux
    ;;
  sanitizers)
    scripts/install-deps.sh
    status=0
    for preset in asan tsan; do
      cmake --preset $preset >/dev/null
      cmake --build --preset $preset -j "$(nproc)"
      # The namespace tests and the benchmark smoke run add nothing under a sanitizer.
      ctest --preset $preset -E '^(netns|bench_smoke)$' || status=1
    done
    exit $status
    ;;
  fuzz)
    scripts/install-deps.sh
    # tests/fuzz builds on its own with clang++ (libFuzzer, ASan, UBSan).
    CXX=clang++ cmake -S tests/fuzz -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQUENTO_FUZZ_SECONDS="${2:-60}" >/dev/null
    cmake --build build/fuzz -j "$(nproc)"
    exec ctest --test-dir build/fuzz --output-on-failure
    ;;
  *)
    sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
