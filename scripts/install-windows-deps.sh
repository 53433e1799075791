#!/usr/bin/env bash
# Installs what building and checking the 32-bit Windows module needs on a Debian machine.
#
#  - On this system: the i686 MinGW-w64 cross compiler (it builds the .svp and the Windows test
#    host) and mmdebstrap, both amd64 packages from this system's own apt sources.
#  - In a folder of the project (build/wine-root, or NIMBRELLE_WINE_ROOT): a self-contained i386
#    Debian root holding Wine's 32-bit part, built by mmdebstrap from the release's main pocket
#    alone, through apt's signed indexes. Nothing of this system's packages changes for it: no
#    i386 architecture is added to this system's dpkg, and no security or updates pocket is
#    read, so the state of those pockets' i386 indexes cannot break it. It takes about a minute
#    (mostly the download of 780 MB unpacked) and is built once. The tests run Wine inside
#    that root (tests/windows/run_in_wine_root.sh).
#  - Only where the kernel cannot run 32-bit x86 programs itself (IA-32 emulation switched off),
#    or when NIMBRELLE_WINE_QEMU=1 asks for it: qemu-user-static, registered for 32-bit x86
#    programs, so the root's programs run emulated. That registration changes how this system
#    runs such programs until the next reboot; the script says so before doing it.
#
# Does nothing when all of it is in place already; otherwise needs root. Environment:
#   NIMBRELLE_WINE_ROOT     where the root goes (default: build/wine-root in the repository)
#   NIMBRELLE_DEBIAN_MIRROR the Debian mirror (default: http://deb.debian.org/debian)
#   NIMBRELLE_DEBIAN_SUITE  the release (default: this system's, else bookworm)
#   NIMBRELLE_WINE_QEMU     1 = run the root's programs under qemu even where the kernel could
#                           run them itself (checks the emulated route on any machine)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
root=${NIMBRELLE_WINE_ROOT:-$repo/build/wine-root}
mirror=${NIMBRELLE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
suite=${NIMBRELLE_DEBIAN_SUITE:-$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")}
suite=${suite:-bookworm}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
host_packages=(g++-mingw-w64-i686 binutils-mingw-w64-i686 mmdebstrap arch-test)
# Wine's 32-bit part and what its dependencies pull in; coreutils for the few Unix programs the
# test runs inside the root (env, true).
root_packages=(wine32 coreutils)
binfmt_dir=/proc/sys/fs/binfmt_misc
binfmt_name=nimbrelle-i386
qemu=/usr/bin/qemu-i386-static
apt_get=(apt-get -o DPkg::Lock::Timeout=900)
# What the root was built from: a root built from anything else is built again.
recipe="suite=$suite mirror=$mirror packages=${root_packages[*]} variant=extract"

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

need_root() {
  if [[ $(id -u) -ne 0 ]]; then
    echo "error: $1 needs root; run $0 as root (sudo)" >&2
    exit 1
  fi
}

install_host_packages() {
  local missing=() p
  for p in "$@"; do
    installed "$p" || missing+=("$p")
  done
  ((${#missing[@]} == 0)) && return 0
  need_root "installing ${missing[*]}"
  echo "installing on this system: ${missing[*]}"
  "$repo"/scripts/apt-update.sh
  "${apt_get[@]}" install -y -qq --no-install-recommends "${missing[@]}"
}

# Registers qemu-i386 for 32-bit x86 ELF programs (executables and shared objects, machine 3).
# The F flag opens the interpreter now, so it also serves programs inside the chroot.
register_qemu() {
  install_host_packages qemu-user-static
  if [[ ! -e $binfmt_dir/register ]]; then
    mount -t binfmt_misc binfmt_misc "$binfmt_dir"
  fi
  if [[ -e $binfmt_dir/$binfmt_name ]]; then
    echo 1 >"$binfmt_dir/$binfmt_name"
    return 0
  fi
  echo "registering $qemu for 32-bit x86 programs on this system (until the next reboot)"
  printf '%s' ":$binfmt_name:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$qemu:F" \
    >"$binfmt_dir/register"
}

export DEBIAN_FRONTEND=noninteractive

install_host_packages "${host_packages[@]}"

if [[ ${NIMBRELLE_WINE_QEMU:-0} == 1 ]]; then
  need_root "running 32-bit programs through qemu-i386"
  register_qemu
elif ! arch-test i386 >/dev/null 2>&1; then
  need_root "running 32-bit programs through qemu-i386"
  echo "this kernel cannot run 32-bit x86 programs itself: Wine will run under qemu-i386"
  register_qemu
fi

if [[ -f $root/.nimbrelle-root ]] && [[ $(<"$root/.nimbrelle-root") == "$recipe" ]]; then
  exit 0
fi

need_root "building the i386 root for Wine"
echo "building an i386 Debian root with ${root_packages[*]} in $root ($suite main from $mirror)"
# Built beside its final place and moved there only when complete, so an interrupted build is
# never taken for a finished root. The package lists the root was built from stay in it: the
# tests check they come from the main pocket alone.
rm -rf "$root.new"
mkdir -p "$(dirname "$root")"
log=$root.log
for attempt in 1 2 3; do
  # The extract variant unpacks the packages and their dependencies with this system's dpkg and
  # runs none of their maintainer scripts: nothing 32-bit runs while the root is built, so
  # building it takes the same minute with or without qemu.
  if mmdebstrap --mode=root --arch=i386 --variant=extract \
      --include="$(IFS=,; echo "${root_packages[*]}")" \
      --aptopt='Acquire::Retries "3"' --skip=cleanup/apt/lists \
      --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
      --dpkgopt='path-exclude=/usr/share/locale/*' \
      "$suite" "$root.new" "deb [signed-by=$keyring] $mirror $suite main" >"$log" 2>&1; then
    break
  fi
  rm -rf "$root.new"
  if ((attempt == 3)); then
    tail -n 20 "$log" >&2
    echo "error: could not build the i386 root for Wine from $mirror ($suite main) in 3 attempts;" \
         "the full log is $log" >&2
    exit 1
  fi
  echo "building the i386 root failed (attempt $attempt of 3, log $log); retrying in 30 s" >&2
  sleep 30
done
mkdir -p "$root.new/proc" "$root.new/dev"
echo "$recipe" >"$root.new/.nimbrelle-root"
rm -rf "$root"
mv "$root.new" "$root"

if ! "$repo"/tests/windows/run_in_wine_root.sh "$root" - -- --version; then
  echo "error: Wine in $root does not start" >&2
  exit 1
fi
