#!/usr/bin/env bash
# check_wine_root.sh ROOT: checks that the i386 root with Wine was built from the release's
# main pocket alone: its apt sources name no other pocket, and every package list it was
# built from is one of the main pocket's. So no state of the security or updates pockets'
# i386 indexes can stop the Windows test from being set up.
set -euo pipefail
root=$1
lists=$root/var/lib/apt/lists
fail() { echo "FAIL: $*" >&2; exit 1; }

[[ -f $root/.nimbrelle-root ]] || fail "$root was not built by scripts/install-windows-deps.sh"
suite=$(sed -n 's/.*suite=\([^ ]*\).*/\1/p' "$root/.nimbrelle-root")
sources=$(cat "$root/etc/apt/sources.list" "$root"/etc/apt/sources.list.d/* 2>/dev/null | grep -v '^\s*#' | grep . || true)
[[ -n $sources ]] || fail "the root has no apt sources"
main_only="^deb( \[[^]]*\])? [^ ]+ $suite main$"
while read -r line; do
  [[ $line =~ $main_only ]] || fail "apt source outside the main pocket: $line"
done <<<"$sources"

count=0
for f in "$lists"/*_dists_*; do
  [[ -e $f ]] || fail "the root keeps no package lists in $lists"
  name=${f##*/}
  [[ $name == *_dists_"$suite"_* ]] || fail "package list from another pocket: $name"
  [[ $name == *_dists_"$suite"_InRelease || $name == *_dists_"$suite"_main_* ]] ||
    fail "package list outside main: $name"
  count=$((count + 1))
done
echo "the root was built from $count lists of $suite main alone"
