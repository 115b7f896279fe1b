#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Quick when they are all there;
# in CI (CI=true) it always refreshes the package lists and installs.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  googletest libgtest-dev libgmock-dev   # tests
  libcli11-dev                           # command-line parsing
  nlohmann-json3-dev                     # quento-cli --json
  libasio-dev                            # networking and the event loop
  libssl-dev                             # the image's SHA-256 (libcrypto)
  qt6-base-dev libgl-dev                 # quento, the Linux window (Qt6Gui's CMake package needs the GL headers)
  g++-mingw-w64-x86-64-posix mingw-w64-tools   # Quento.exe
  wine wine64 xvfb fonts-wqy-microhei x11-utils imagemagick   # Quento.exe tests under Wine
  clang libclang-rt-14-dev               # fuzzing
  iproute2                               # network namespace tests
  python3                                # tests read --report files with its csv and xml modules
  dpkg-dev file lintian                  # the Debian package: dpkg-shlibdeps (which needs file), its check
)

# CI refreshes the lists and installs once per clone, whatever the machine already has.
stamp="$(cd "$(dirname "$0")/.." && pwd)/build/.deps-installed"
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [[ ${#missing[@]} -eq 0 && ( "${CI:-}" != "true" || -e "$stamp" ) ]]; then
  exit 0
fi
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y "${packages[@]}"
mkdir -p "$(dirname "$stamp")" && touch "$stamp"
