#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, and the browser tests'
# npm packages (pinned by tests/web/package-lock.json). Does nothing when they are all present
# already; otherwise needs root (it runs apt-get).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  build-essential cmake pkg-config python3
  libgtest-dev libgmock-dev libbenchmark-dev
  libsndfile1-dev libkissfft-dev libcli11-dev libpng-dev libsdl2-dev
  ffmpeg sox valgrind binutils clang libclang-rt-14-dev
  libgstreamer-plugins-base1.0-dev gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  pulseaudio pulseaudio-utils
)
if [[ "${NIMBRELLE_WINDOWS:-1}" == 1 ]]; then
  packages+=(g++-mingw-w64-i686)
fi
# The browser build (clang's wasm32-wasi target and its C and C++ libraries) and its tests
# (Chromium, Node). A Node from elsewhere that brings its own npm is kept.
if [[ "${NIMBRELLE_WEB:-1}" == 1 ]]; then
  packages+=(clang-14 llvm-14 lld-14 wasi-libc libc++-14-dev-wasm32 libc++abi-14-dev-wasm32
             libclang-rt-14-dev-wasm32 dpkg-dev chromium)
  command -v node >/dev/null || packages+=(nodejs)
  command -v npm >/dev/null || packages+=(npm)
fi

install_npm_packages() {
  [[ "${NIMBRELLE_WEB:-1}" == 1 ]] || return 0
  local dir=$repo/tests/web
  if [[ ! -f $dir/node_modules/.package-lock.json || $dir/package-lock.json -nt $dir/node_modules/.package-lock.json ]]; then
    echo "installing the browser tests' npm packages"
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error)
  fi
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  install_npm_packages
  exit 0
fi
echo "installing: ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "error: missing packages and not root; run: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"$(dirname "$0")"/apt-update.sh
apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
install_npm_packages
