#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and the zh_CN.UTF-8 locale (the
# Wine tests run as a Chinese Windows too). Quick when all is there; in CI (CI=true) it
# always refreshes the package lists and installs.
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
  nsis                                   # Quento-VERSION-setup.exe (makensis)
  clang libclang-rt-14-dev               # fuzzing
  iproute2                               # network namespace tests
  python3                                # tests read --report files with its csv and xml modules
  locales                                # zh_CN.UTF-8: without it Wine mangles non-ASCII names
  dpkg-dev file lintian                  # the Debian package: dpkg-shlibdeps (which needs file), its check
  ansible-core ansible-lint              # the quento.flash collection: ansible-galaxy, its plant test, its lint
  python3-pytest python3-venv shellcheck # the collection's unit tests; ansible-test sanity's venv, its shellcheck
  openssh-server                         # the plant test's stations are reached over real SSH
  chromium                               # the plant test loads the HTML report headless
)

# CI refreshes the lists and installs once per clone, whatever the machine already has.
stamp="$(cd "$(dirname "$0")/.." && pwd)/build/.deps-installed"
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
has_zh_cn() { locale -a 2>/dev/null | grep -x 'zh_CN\.utf8' >/dev/null; }  # reads all: no SIGPIPE
install=true
[[ ${#missing[@]} -eq 0 && ( "${CI:-}" != "true" || -e "$stamp" ) ]] && install=false
if [[ $install == false ]] && has_zh_cn; then
  exit 0
fi
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
if [[ $install == true ]]; then
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y "${packages[@]}"
  mkdir -p "$(dirname "$stamp")" && touch "$stamp"
fi
if ! has_zh_cn; then
  grep -qx 'zh_CN\.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null ||
    echo 'zh_CN.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
  $sudo locale-gen
fi
