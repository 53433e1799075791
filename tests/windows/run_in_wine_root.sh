#!/usr/bin/env bash
# run_in_wine_root.sh ROOT PREFIX -- ARGS...: runs `wine ARGS...` inside the i386 root that
# scripts/install-windows-deps.sh builds, with the Wine prefix PREFIX (a path on this system
# inside the repository, or - for none), then stops every Wine process of that prefix. Exits
# with Wine's status.
#
# The repository is visible inside the root at its own path, so Windows paths Z:\<path> name
# the same files inside and out. The mounts are made in a private mount namespace and vanish
# with it; nothing of this system's mount table changes.
#
# The prefix is made here, not by wineboot: the Windows test host needs Wine's system DLLs and
# nothing else of a booted Windows (no registry defaults, services, desktop or device manager).
# Booting a prefix starts a dozen Wine processes, and where Wine runs under qemu-i386 each
# takes about a minute of CPU just to start, so wineboot alone cost many minutes. Here the
# prefix's system32 links to Wine's DLLs, the prefix is marked never to be updated, and
# wineboot.exe, which Wine starts with the first program of a session, is a Unix program that
# does nothing (Wine runs a file that is not a PE image as a Unix process).
#
# Under qemu-i386 the guest's reserved address space is cut to what Wine lays out (its
# loader's regions end at 0x82000000): with the default 4 GiB, qemu searches the unused top
# of it page by page on each of Wine's probing mmap calls, which made every Wine process take
# a minute to start instead of a few seconds. A program that is not large-address-aware never
# sees memory above 2 GiB anyway. Without qemu the variable is ignored.
set -euo pipefail

if (($# < 3)) || [[ $3 != -- ]]; then
  echo "usage: $0 ROOT PREFIX -- WINE-ARGS..." >&2
  exit 2
fi
root=$(cd "$1" && pwd)
prefix=$2
shift 3
repo=$(cd "$(dirname "$0")/../.." && pwd)
wine_dlls=/usr/lib/i386-linux-gnu/wine/i386-windows

if [[ ! -x $root/usr/lib/wine/wine ]]; then
  echo "error: no Wine in $root: run scripts/install-windows-deps.sh" >&2
  exit 1
fi

if [[ $prefix != - ]]; then
  mkdir -p "$prefix"
  prefix=$(cd "$prefix" && pwd)
  case $prefix/ in
    "$repo"/*) ;;
    *) echo "error: the Wine prefix must lie inside $repo" >&2; exit 2 ;;
  esac
  if [[ ! -e $prefix/.update-timestamp ]]; then
    system32=$prefix/drive_c/windows/system32
    mkdir -p "$system32"
    for dll in "$root$wine_dlls"/*; do
      ln -sfn "$wine_dlls/${dll##*/}" "$system32/${dll##*/}"
    done
    ln -sfn /bin/true "$system32/wineboot.exe"
    echo disable >"$prefix/.update-timestamp"
  fi
fi

# Inside the namespace: the kernel's file systems and the repository, bound into the root.
inner='
  set -e
  root=$1 repo=$2 prefix=$3
  shift 3
  mount --make-rprivate /
  mount --rbind /proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mkdir -p "$root$repo"
  mount --bind "$repo" "$root$repo"
  env=(WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe="
       WINESERVER=/usr/lib/wine/wineserver32 QEMU_RESERVED_VA=0x82000000)
  [[ $prefix != - ]] && env+=(WINEPREFIX="$prefix" WINEARCH=win32)
  # A raster path chosen for the module (tests force the SSE2 one) goes through to it.
  [[ -n ${NIMBRELLE_RASTER_PATH:-} ]] && env+=(NIMBRELLE_RASTER_PATH="$NIMBRELLE_RASTER_PATH")
  set +e
  chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root "${env[@]}" /usr/lib/wine/wine "$@"
  status=$?
  if [[ $prefix != - ]]; then
    chroot "$root" /usr/bin/env -i "${env[@]}" /usr/lib/wine/wineserver32 -k >/dev/null 2>&1
  fi
  exit $status
'
exec unshare --mount --fork -- bash -c "$inner" run-in-wine-root "$root" "$repo" "$prefix" "$@"
