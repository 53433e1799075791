#!/usr/bin/env bash
# Installs what building and checking the 32-bit Windows module needs on a Debian machine:
#  - the i686 MinGW-w64 cross compiler, which builds the .svp and the Windows test host;
#  - Wine with its 32-bit part (wine32:i386, so the i386 architecture), which runs the host.
# Where the kernel cannot run 32-bit x86 programs itself (IA-32 emulation switched off), it
# also installs qemu-user-static and registers qemu-i386 for 32-bit x86 programs, so that
# Wine's 32-bit loader runs emulated. That registration does not survive a reboot; running
# this script again restores it.
#
# Does nothing when all of it is in place already; otherwise needs root.
set -euo pipefail

packages=(g++-mingw-w64-i686 binutils-mingw-w64-i686 procps wine wine32:i386)
binfmt_dir=/proc/sys/fs/binfmt_misc
binfmt_name=nimbrelle-i386
qemu=/usr/bin/qemu-i386-static

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

need_root() {
  if [[ $(id -u) -ne 0 ]]; then
    echo "error: $1 needs root; run this script with sudo" >&2
    exit 1
  fi
}

export DEBIAN_FRONTEND=noninteractive

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_root "adding the i386 architecture"
  echo "adding the i386 architecture"
  dpkg --add-architecture i386  # wine32:i386 is then missing, so the lists are fetched below
fi

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if ((${#missing[@]} > 0)); then
  need_root "installing ${missing[*]}"
  echo "installing: ${missing[*]}"
  # The i386 packages must match the versions of their amd64 twins exactly; while a mirror is
  # part-way through a sync the i386 lists can lag, so a failed install is retried with
  # fresh lists.
  for attempt in 1 2 3; do
    "$(dirname "$0")"/apt-update.sh
    if apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
      break
    fi
    if ((attempt == 3)); then
      echo "error: could not install ${missing[*]}" >&2
      exit 1
    fi
    echo "installing ${missing[*]} failed (attempt $attempt of 3); retrying in 60 s" >&2
    sleep 60
  done
fi

# Wine's loader is a 32-bit program: if it starts, nothing more is needed.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  exit 0
fi

need_root "running 32-bit programs through qemu-i386"
if ! installed qemu-user-static; then
  echo "installing: qemu-user-static"
  "$(dirname "$0")"/apt-update.sh
  apt-get install -y -qq --no-install-recommends qemu-user-static
fi
if [[ ! -e $binfmt_dir/register ]]; then
  mount -t binfmt_misc binfmt_misc "$binfmt_dir"
fi
if [[ ! -e $binfmt_dir/$binfmt_name ]]; then
  echo "registering $qemu for 32-bit x86 programs"
  # ELF, 32-bit, little-endian, executable or shared object, machine 3 (i386). The F flag
  # opens the interpreter now, so it also serves programs in other mount namespaces.
  printf '%s' ":$binfmt_name:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$qemu:F" \
    >"$binfmt_dir/register"
fi
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "error: Wine's 32-bit loader still does not start" >&2
  exit 1
fi
