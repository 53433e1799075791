#!/usr/bin/env bash
# Installs the packages `make deb` built (build/deb/) into a fresh Debian 12 root made with
# mmdebstrap, and renders the built-in demo to MP4 with the installed program inside it: the
# program finds the installed module without --module. Only nimbrelle, gstreamer1.0-nimbrelle
# and libnimbrelle-dev go into the root (and ffmpeg, which nimbrelle recommends for video), so
# it pulls no OBS, Qt, VLC or Mesa. Needs root (mmdebstrap's root mode) and the network.
#
#   tests/deb/install_test.sh [DEB_DIR]     (default build/deb)
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
debs=$(cd "${1:-$repo/build/deb}" && pwd)
mirror=${NIMBRELLE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security=${NIMBRELLE_DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
hooks=/usr/share/mmdebstrap/hooks/file-mirror-automount

for tool in mmdebstrap; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (scripts/install-deps.sh deb)"; exit 77; }
done
[[ -d $hooks ]] || { echo "SKIP: no $hooks (mmdebstrap too old)"; exit 77; }
[[ $(id -u) -eq 0 ]] || { echo "SKIP: mmdebstrap's root mode needs root"; exit 77; }

includes=()
for name in nimbrelle gstreamer1.0-nimbrelle libnimbrelle-dev; do
  files=("$debs"/"${name}"_*.deb)
  [[ -f ${files[0]} ]] || { echo "error: no ${name}_*.deb in $debs (run make deb)" >&2; exit 1; }
  includes+=("--include=${files[0]}")
done

work=$(mktemp -d "${TMPDIR:-/tmp}/nimbrelle-deb-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
start=$(date +%s)
for attempt in 1 2 3; do
  rm -rf "$work/root"
  if mmdebstrap --mode=root --variant=apt --format=directory \
       --hook-dir="$hooks" \
       --include=ffmpeg "${includes[@]}" \
       --customize-hook='chroot "$1" nimbrelle --version' \
       --customize-hook='chroot "$1" nimbrelle render -o /tmp/demo.mp4' \
       --customize-hook='chroot "$1" ffprobe -v error -select_streams v:0 -show_entries stream=codec_type,width,height -of csv=p=0 /tmp/demo.mp4 | tee "$1/tmp/probe.txt"' \
       --customize-hook='grep -q "^video," "$1/tmp/probe.txt"' \
       bookworm "$work/root" \
       "deb $mirror bookworm main" \
       "deb $mirror bookworm-updates main" \
       "deb $security bookworm-security main" >"$work/mmdebstrap.log" 2>&1; then
    break
  fi
  if ((attempt == 3)) || ! grep -qiE "temporary failure|could not resolve|failed to fetch|connection" "$work/mmdebstrap.log"; then
    tail -40 "$work/mmdebstrap.log" >&2
    echo "FAIL: the install test's root could not be made or its checks failed" >&2
    exit 1
  fi
  echo "mmdebstrap failed on a network error; retrying ($attempt)" >&2
  sleep $((attempt * 15))
done
grep -E "^[a-z]+,[0-9]+,[0-9]+$|^nimbrelle " "$work/mmdebstrap.log" || true
echo "PASS: installed into a fresh Debian 12 root and rendered the demo to MP4 in $(( $(date +%s) - start )) s"
