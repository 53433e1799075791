#!/usr/bin/env bash
# Installs the Debian packages one or more parts of the project need:
#
#   scripts/install-deps.sh GROUP...
#
#   native     the native build of the module, the analysis and loading libraries and the
#              `nimbrelle` program, their tests, benchmarks and fuzzers, and the demo
#   gstreamer  the GStreamer element and its tests (the default build includes both, so
#              `make build` asks for native, gstreamer, vlc and obs together)
#   vlc        the VLC visualisation and its tests: VLC 3's plug-in headers (vlc-plugin in
#              pkg-config), libvlc for the test program that plays a playlist in-process, the
#              cvlc player, and the decoders and outputs the headless tests use
#   obs        the OBS Studio source and its headless tests: libobs's development files and
#              runtime (its OpenGL renderer and effect files come with libobs0), an X server
#              without a screen and Mesa's software OpenGL (llvmpipe) through EGL
#   windows    the cross compiler of the 32-bit Windows module (the i386 root with Wine that its
#              frame test runs in is scripts/install-windows-deps.sh's work)
#   web        the browser build (clang's wasm32-wasi target and its C and C++ libraries) and its
#              tests: Chromium, Node, and tests/web's npm packages (pinned by its package-lock.json)
#   deb        the Debian packages' build (make deb) and its checks: debhelper, help2man for the
#              man page, lintian; mmdebstrap for a fresh root to install them into
#   all        every group above
#
# Does nothing when everything asked for is present already; otherwise needs root (it runs
# apt-get). The npm packages need no root and are installed whenever the web group is asked for
# and they are missing or older than the lock file.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  echo "usage: $0 GROUP...   (GROUP: native, gstreamer, vlc, obs, windows, web, deb or all)" >&2
  exit 2
}

packages=()
web=0
add_group() {
  case $1 in
    native)
      packages+=(
        build-essential cmake pkg-config python3
        libgtest-dev libgmock-dev libbenchmark-dev
        libsndfile1-dev libcli11-dev libpng-dev libsdl2-dev
        libpulse-dev  # the live capture's PulseAudio client
        dpkg-dev      # dpkg-source, for KissFFT's source package (scripts/fetch-kissfft-source.sh)
        ffmpeg sox valgrind binutils
        clang libclang-rt-14-dev      # the fuzzers and the sanitizer build
        pulseaudio pulseaudio-utils   # a private sound server for the live tests
      ) ;;
    gstreamer)
      packages+=(libgstreamer-plugins-base1.0-dev gstreamer1.0-tools gstreamer1.0-plugins-base
                 gstreamer1.0-plugins-good) ;;
    vlc)
      # libvlccore-dev: the plug-in API (pkg-config vlc-plugin); libvlc-dev: the test program
      # that drives VLC in-process; vlc-bin: cvlc; vlc-plugin-base: the WAV, MP3, FLAC and Opus
      # demuxers and decoders, the file audio output and the raw video output; runuser (util-linux,
      # always present) runs VLC as an unprivileged user, as it refuses root.
      packages+=(pkg-config libvlccore-dev libvlc-dev vlc-bin vlc-plugin-base) ;;
    obs)
      packages+=(libobs-dev libx11-dev xvfb libgl1-mesa-dri libegl1 libegl-mesa0) ;;
    windows)
      # CMake and make drive the cross build as they drive every other.
      packages+=(cmake make g++-mingw-w64-i686) ;;
    web)
      # dpkg-dev: the browser build compiles KissFFT's Debian sources too.
      packages+=(cmake make dpkg-dev
                 clang-14 llvm-14 lld-14 wasi-libc libc++-14-dev-wasm32 libc++abi-14-dev-wasm32
                 libclang-rt-14-dev-wasm32 chromium)
      # A Node from elsewhere that brings its own npm is kept.
      command -v node >/dev/null || packages+=(nodejs)
      command -v npm >/dev/null || packages+=(npm)
      web=1 ;;
    deb)
      # The packages' Build-Depends are the native, GStreamer, VLC and OBS groups' development
      # files; the web page's (Build-Depends-Indep) the browser build's compilers and libraries.
      packages+=(dpkg-dev debhelper help2man lintian mmdebstrap git
                 clang-14 llvm-14 lld-14 wasi-libc libc++-14-dev-wasm32 libc++abi-14-dev-wasm32
                 libclang-rt-14-dev-wasm32) ;;
    all)
      add_group native
      add_group gstreamer
      add_group vlc
      add_group obs
      add_group windows
      add_group web
      add_group deb ;;
    *)
      echo "error: unknown group '$1'" >&2
      usage ;;
  esac
}

(($# > 0)) || usage
for group in "$@"; do
  add_group "$group"
done

install_npm_packages() {
  ((web)) || return 0
  local dir=$repo/tests/web
  if [[ ! -f $dir/node_modules/.package-lock.json || $dir/package-lock.json -nt $dir/node_modules/.package-lock.json ]]; then
    echo "installing the browser tests' npm packages"
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error)
  fi
}

missing=()
declare -A seen=()
for p in "${packages[@]}"; do
  [[ -n ${seen[$p]:-} ]] && continue
  seen[$p]=1
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
"$repo"/scripts/apt-update.sh
apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
install_npm_packages
