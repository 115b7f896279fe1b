#!/usr/bin/env bash
# The project's front door.
#   ./build.sh demo    install what is missing, build, and flash a sample image into the simulator
#   ./build.sh test    install what is missing, build everything, and run the whole test suite
#   ./build.sh build   build the Linux programs only
#   ./build.sh package   plain Release builds, then dist/quento_VERSION_amd64.deb, dist/quento-VERSION-win64.zip,
#                        dist/Quento-VERSION-setup.exe and the Ansible collection dist/quento-flash-VERSION.tar.gz
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

# The release packages come from plain Release builds: no preset, so no -Werror, and no tests,
# benchmark or fault proxy. The Debian package gets Debian's hardening flags on top
# (fortified functions, read-only relocations bound at start-up).
deb_flags() {
  DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"
}

package() {
  rm -f dist/quento_*.deb dist/quento-*-win64.zip dist/Quento-*-setup.exe dist/quento-flash-*.tar.gz
  mkdir -p dist
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUENTO_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="$(deb_flags CPPFLAGS) $(deb_flags CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(deb_flags LDFLAGS)" >/dev/null
  cmake --build build/release -j "$(nproc)"
  (cd build/release && cpack -G DEB)
  cp build/release/quento_*_amd64.deb dist/
  cmake -S . -B build/win-release -G Ninja --toolchain cmake/mingw-w64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DQUENTO_TESTS=OFF >/dev/null
  cmake --build build/win-release -j "$(nproc)"
  (cd build/win-release && cpack -G ZIP)
  cp build/win-release/quento-*-win64.zip dist/
  # The installer holds what the zip holds, stripped the same way.
  rm -rf build/win-release/setup-root
  cmake --install build/win-release --prefix build/win-release/setup-root --strip >/dev/null
  makensis -V2 -NOCD -INPUTCHARSET UTF8 build/win-release/packaging/quento-setup.nsi
  cp build/win-release/Quento-*-setup.exe dist/
  # galaxy.yml carries the project's version; the plant test fails when the two differ.
  ansible-galaxy collection build ansible/ansible_collections/quento/flash --output-path dist
  ls -l dist
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
  package)
    scripts/install-deps.sh
    package
    ;;
  sanitizers)
    scripts/install-deps.sh
    status=0
    for preset in asan tsan; do
      cmake --preset $preset >/dev/null
      cmake --build --preset $preset -j "$(nproc)"
      # The namespace tests, the long soak and the benchmark smoke run add nothing under a
      # sanitizer (the short soak runs there).
      ctest --preset $preset -E '^(netns|names|soak_oracle|bench_smoke)$' || status=1
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
    sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
