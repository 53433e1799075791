#!/usr/bin/env bash
# Installs the build tree into a scratch DESTDIR under a scratch prefix, then checks that the
# installed program and element draw with the installed module (found relative to their own
# files, not in the build tree) and that a C program builds against the installed header with
# pkg-config and loads the installed module.
#   install_test.sh BUILD_DIR PLUGIN_DIR LIB_DIR   (the last two relative to the prefix)
set -euo pipefail
build=$1 plugindir=$2 libdir=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=/opt/nimbrelle-test
root=$scratch/root$prefix

DESTDIR=$scratch/root cmake --install "$build" --prefix "$prefix" > "$scratch/install.log"
for f in bin/nimbrelle "$plugindir/libgstnimbrelle.so" "$libdir/nimbrelle/NimbrelleCalvex.so" \
         include/nimbrelle/module.h "$libdir/pkgconfig/nimbrelle.pc"; do
  [[ -f $root/$f ]] || { echo "not installed: $prefix/$f" >&2; exit 1; }
done

# The program, run from the installed tree without --module, draws the demo's first frames.
"$root/bin/nimbrelle" render -o "$scratch/frames/" --duration 0.05 --size 16x16 -q
[[ -f $scratch/frames/frame_000002.png ]] || { echo "the installed nimbrelle drew no frames" >&2; exit 1; }

# The element, loaded from the installed tree alone, logs the module it draws with.
log=$(GST_PLUGIN_PATH=$root/$plugindir GST_DEBUG=nimbrellevis:4 GST_DEBUG_NO_COLOR=1 \
      gst-launch-1.0 -q audiotestsrc num-buffers=3 ! nimbrellevis ! video/x-raw,width=32,height=32 ! fakesink 2>&1)
module=$root/$libdir/nimbrelle/NimbrelleCalvex.so
grep -q "drawing with module $module" <<< "$log" || { echo "element did not use $module:" >&2; echo "$log" >&2; exit 1; }

export PKG_CONFIG_PATH=$root/$libdir/pkgconfig
cc $(pkg-config --cflags nimbrelle) "$(dirname "$0")/support/module_probe.c" -o "$scratch/probe" -ldl
"$scratch/probe" "$(pkg-config --variable=module nimbrelle)" | grep -q "Nimbrelle Calvex"
echo "installed tree works: $prefix"
