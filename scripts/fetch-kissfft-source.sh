#!/usr/bin/env bash
# Fetches Debian's KissFFT source package into DEST (default build/kissfft) and prints the
# unpacked source tree's path. Every build compiles these sources with the project's exact
# floating-point flags instead of linking Debian's libkissfft (built with -ffast-math), so the
# host, the GStreamer element and the browser compute the same record bytes. The version is
# pinned here, as the golden record hashes (tests/analysis/golden_signals.h) are: a new KissFFT
# is taken on purpose, by changing KISSFFT_VERSION and checking those hashes, never by an
# update of the machine's packages. If Debian's mirror no longer carries the pinned version, the
# script says so and stops.
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

KISSFFT_VERSION=131.1.0-4.1~deb12u1
version=${NIMBRELLE_KISSFFT_VERSION:-$KISSFFT_VERSION}
if ! command -v dpkg-source >/dev/null; then
  echo "error: dpkg-source is missing (run scripts/install-deps.sh native, which installs dpkg-dev)" >&2
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
  -o DPkg::Lock::Timeout=900
  -o APT::Sandbox::User="$(id -un)"
)
for attempt in 1 2 3; do
  if apt-get "${apt_options[@]}" -qq update; then break; fi
  if ((attempt == 3)); then echo "error: could not fetch the source index from $mirror" >&2; exit 1; fi
  sleep $((attempt * 10))
done
# dpkg-source's warnings about the package's own patches are noise unless the fetch fails.
if ! (cd "$dest" && apt-get "${apt_options[@]}" -qq source "kissfft=$version" >/dev/null 2>"$apt_dir/source.log"); then
  cat "$apt_dir/source.log" >&2
  echo "error: could not fetch the kissfft $version source package from $mirror (if Debian has" \
       "replaced it, raise KISSFFT_VERSION in $0 and check the golden record hashes)" >&2
  exit 1
fi
if [[ ! -f "$tree/kiss_fftr.c" ]]; then
  echo "error: the kissfft $version source package did not unpack to $tree" >&2
  exit 1
fi
echo "$version" >"$tree/.nimbrelle-version"
echo "$tree"
