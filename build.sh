#!/usr/bin/env bash
# The project's front door.
#   ./build.sh demo    install what is missing, build, and flash a sample image into the simulator
#   ./build.sh test    install what is missing, build everything, and run the whole test suite
#   ./build.sh build   build the Linux programs only
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
  *)
    sed -n '2,5p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
