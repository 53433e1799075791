#!/usr/bin/env bash
# Fetches Debian's KissFFT source package into DEST (default build/kissfft) and prints the
# unpacked source tree's path. The WebAssembly build compiles these sources, since Debian ships
# no wasm32 KissFFT library; the version is the one of the installed libkissfft-dev, so the
# browser's FFT is built from the same sources as the native library the host links.
#
# `apt-get source` needs deb-src lines, which a stock Debian machine does not have. Rather than
# adding them to the machine's own apt configuration, this script gives apt a private source
# list, package lists and cache under DEST/apt (deb-src lines for the same Debian release as
# the machine's), so it changes nothing outside DEST and needs no root. The downloads are
# checked by apt against the release's signed index, as for any package.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
dest=${1:-$repo/build/kissfft}
mirror=${NIMBRELLE_DEBIAN_MIRROR:-http://deb.debian.org/debian}

version=$(dpkg-query -W -f='${Version}' libkissfft-dev 2>/dev/null || true)
if [[ -z "$version" ]]; then
  echo "error: libkissfft-dev is not installed (run scripts/install-deps.sh)" >&2
  exit 1
fi
upstream=${version#*:}
upstream=${upstream%-*}
tree=$dest/kissfft-$upstream
if [[ -f "$tree/kiss_fftr.c" && -f "$tree/.nimbrelle-version" && "$(cat "$tree/.nimbrelle-version")" == "$version" ]]; then
  echo "$tree"
  exit 0
fi

codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
apt_dir=$dest/apt
rm -rf "$apt_dir" "$tree"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/sources.list.d"
cat >"$apt_dir/sources.list" <<SOURCES
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $codename main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $codename-updates main
SOURCES

apt_options=(
  -o Dir::Etc::SourceList="$apt_dir/sources.list"
  -o Dir::Etc::SourceParts="$apt_dir/sources.list.d"
  -o Dir::State::Lists="$apt_dir/lists"
  -o Dir::Cache="$apt_dir/cache"
  -o Acquire::Retries=3
  -o APT::Sandbox::User="$(id -un)"
)
for attempt in 1 2 3; do
  if apt-get "${apt_options[@]}" -qq update; then break; fi
  if ((attempt == 3)); then echo "error: could not fetch the source index from $mirror" >&2; exit 1; fi
  sleep $((attempt * 10))
done
(cd "$dest" && apt-get "${apt_options[@]}" -qq source "kissfft=$version" >/dev/null)
if [[ ! -f "$tree/kiss_fftr.c" ]]; then
  echo "error: the kissfft $version source package did not unpack to $tree" >&2
  exit 1
fi
echo "$version" >"$tree/.nimbrelle-version"
echo "$tree"
