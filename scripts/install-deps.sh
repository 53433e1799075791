#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need. Does nothing when they
# are all present already; otherwise needs root (it runs apt-get).
set -euo pipefail

packages=(
  build-essential cmake pkg-config python3
  libgtest-dev libgmock-dev libbenchmark-dev
  libsndfile1-dev libkissfft-dev libcli11-dev libpng-dev libsdl2-dev
  ffmpeg sox valgrind binutils clang libclang-rt-14-dev
  pulseaudio pulseaudio-utils
)
if [[ "${NIMBRELLE_WINDOWS:-1}" == 1 ]]; then
  packages+=(g++-mingw-w64-i686)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  exit 0
fi
echo "installing: ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "error: missing packages and not root; run: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"$(dirname "$0")"/apt-update.sh
apt-get install -y -qq -o DPkg::Lock::Timeout=900 --no-install-recommends "${missing[@]}"
