#!/usr/bin/env bash
# Installs the packages `make deb` built (build/deb/) into a fresh Debian 12 root made with
# mmdebstrap and runs checks_in_root.sh there: the installed program, module, element and
# header at work, the OBS and VLC packages' dependencies resolved, then a purge that must leave
# nothing behind. Only nimbrelle, gstreamer1.0-nimbrelle, libnimbrelle-dev and nimbrelle-web go
# into the root (with ffmpeg, GStreamer's tools and a C compiler for the checks), so it pulls no
# OBS, Qt, VLC or Mesa; those two packages' files are checked here against where Debian's OBS
# and VLC look.
# Needs root (mmdebstrap's root mode) and the network; exits 77 (skipped) without them.
#
#   tests/deb/install_test.sh [DEB_DIR]     (default build/deb)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
debs=$(cd "${1:-$here/../../build/deb}" && pwd)
mirror=${NIMBRELLE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security=${NIMBRELLE_DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
hooks=/usr/share/mmdebstrap/hooks/file-mirror-automount

command -v mmdebstrap >/dev/null || { echo "SKIP: mmdebstrap is missing (scripts/install-deps.sh deb)"; exit 77; }
[[ -d $hooks ]] || { echo "SKIP: no $hooks (mmdebstrap too old)"; exit 77; }
[[ $(id -u) -eq 0 ]] || { echo "SKIP: mmdebstrap's root mode needs root"; exit 77; }

# Each package's file, found once: a missing one stops the test here.
declare -A deb
for name in nimbrelle gstreamer1.0-nimbrelle libnimbrelle-dev nimbrelle-web obs-nimbrelle \
            vlc-plugin-nimbrelle; do
  files=("$debs/$name"_*.deb)
  [[ -f ${files[0]} ]] || { echo "error: no ${name}_*.deb in $debs (run make deb)" >&2; exit 1; }
  deb[$name]=${files[0]}
done

# OBS loads plug-ins from <libdir>/obs-plugins and their data from /usr/share/obs/obs-plugins/
# NAME; VLC from <libdir>/vlc/plugins and its subfolders.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
expect_files() {
  local package=$1 listing
  shift
  listing=$(dpkg-deb -c "${deb[$package]}" | awk '{ print $6 }')
  for path in "$@"; do
    grep -qx "./$path" <<<"$listing" || { echo "FAIL: $package has no /$path" >&2; exit 1; }
  done
}
expect_files obs-nimbrelle usr/lib/$multiarch/obs-plugins/nimbrelle-obs.so \
  usr/share/obs/obs-plugins/nimbrelle-obs/locale/en-US.ini
expect_files vlc-plugin-nimbrelle usr/lib/$multiarch/vlc/plugins/visualization/libnimbrelle_plugin.so

work=$(mktemp -d "${TMPDIR:-/tmp}/nimbrelle-deb-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The page's WebAssembly, built by the package build with Debian's flags set, must be the bytes
# `make web` builds, which the browser tests check frame by frame.
web=$here/../../build/web
if [[ -f $web/nimbrelle.wasm && -f $web/nimbrelle-simd.wasm ]]; then
  dpkg-deb -x "${deb[nimbrelle-web]}" "$work/web"
  for wasm in nimbrelle.wasm nimbrelle-simd.wasm; do
    cmp "$work/web/usr/share/nimbrelle/web/$wasm" "$web/$wasm" ||
      { echo "FAIL: the packaged $wasm differs from build/web/$wasm" >&2; exit 1; }
  done
  echo "nimbrelle-web: its .wasm files are build/web's"
else
  echo "nimbrelle-web: not compared with build/web (run make web first)"
fi

mkdir "$work/checks"
cp "$here/checks_in_root.sh" "$here/../support/module_probe.c" "${deb[obs-nimbrelle]}" \
   "${deb[vlc-plugin-nimbrelle]}" "$work/checks/"

start=$(date +%s)
for attempt in 1 2 3; do
  rm -rf "$work/root"
  if mmdebstrap --mode=root --variant=apt --format=directory --hook-dir="$hooks" \
       --aptopt='Acquire::Retries "3"' \
       --include=ffmpeg,gstreamer1.0-tools,gstreamer1.0-plugins-base,gcc,libc6-dev,pkg-config \
       --include="${deb[nimbrelle]}" --include="${deb[gstreamer1.0-nimbrelle]}" \
       --include="${deb[libnimbrelle-dev]}" --include="${deb[nimbrelle-web]}" \
       --customize-hook="cp -r '$work/checks' \"\$1/tmp/checks\"" \
       --customize-hook='chroot "$1" sh /tmp/checks/checks_in_root.sh' \
       bookworm "$work/root" \
       "deb $mirror bookworm main" \
       "deb $mirror bookworm-updates main" \
       "deb $security bookworm-security main" >"$work/mmdebstrap.log" 2>&1; then
    break
  fi
  if ((attempt == 3)) || ! grep -qiE "temporary failure|could not resolve|failed to fetch|unable to fetch|connection|timed out|hash sum mismatch" "$work/mmdebstrap.log"; then
    tail -40 "$work/mmdebstrap.log" >&2
    echo "FAIL: the install test's root could not be made or a check in it failed" >&2
    exit 1
  fi
  echo "mmdebstrap failed on a network error; retrying ($attempt)" >&2
  sleep $((attempt * 15))
done
sed -n '/^== /,/^all checks passed/p' "$work/mmdebstrap.log"
echo "PASS: installed, used and purged in a fresh Debian 12 root in $(( $(date +%s) - start )) s"
