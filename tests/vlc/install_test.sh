#!/usr/bin/env bash
# `make install`'s VLC plug-in: staged (DESTDIR), it lands in VLC's plugins folder under the
# prefix and VLC's plug-in cache is left alone; installed for real into a scratch prefix, the
# cache of that folder is regenerated and the installed plug-in, loaded by VLC from there,
# draws with the module installed with it.
#   install_test.sh BUILD_DIR PLUGIN_DIR PLUGINS_DIR LIB_DIR   (the last three relative to the prefix)
set -euo pipefail
build=$1 plugindir=$2 pluginsdir=$3 libdir=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
chmod 755 "$scratch"

DESTDIR=$scratch/stage cmake --install "$build" --prefix /usr > "$scratch/stage.log"
[[ -f $scratch/stage/usr/$plugindir/libnimbrelle_plugin.so ]] || { echo "not staged: /usr/$plugindir" >&2; exit 1; }
if find "$scratch/stage" -name plugins.dat | grep -q .; then
  echo "a staged install wrote a plug-in cache" >&2; exit 1
fi

prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" > "$scratch/live.log"
[[ -f $prefix/$plugindir/libnimbrelle_plugin.so ]] || { echo "not installed: $prefix/$plugindir" >&2; exit 1; }
[[ -f $prefix/$pluginsdir/plugins.dat ]] || { echo "no plug-in cache in $prefix/$pluginsdir:" >&2; cat "$scratch/live.log" >&2; exit 1; }
grep -q "VLC_PLUGIN_PATH=$prefix/$pluginsdir" "$scratch/live.log" || { echo "no hint where VLC looks" >&2; exit 1; }

sox -n -r 48000 -c 2 -b 16 "$scratch/tone.wav" synth 0.3 sine 300
chmod -R a+rX "$prefix" "$scratch/tone.wav"
run=()
[[ $(id -u) -eq 0 ]] && run=(runuser -u nobody --)  # VLC refuses root
log=$("${run[@]}" env HOME="$scratch" VLC_PLUGIN_PATH="$prefix/$pluginsdir" cvlc -I dummy -vv --aout adummy \
      --audio-visual nimbrelle --nimbrelle-width 32 --nimbrelle-height 32 --vout vdummy --play-and-exit \
      "$scratch/tone.wav" 2>&1)
module=$prefix/$libdir/nimbrelle/NimbrelleCalvex.so
grep -q "drawing with module $module" <<< "$log" || { echo "the plug-in did not use $module:" >&2; grep -i nimbrelle <<< "$log" >&2; exit 1; }
echo "installed plug-in works: $prefix/$plugindir"
