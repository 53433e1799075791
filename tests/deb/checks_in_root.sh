#!/bin/sh
# Runs inside the fresh Debian 12 root that install_test.sh made, with nimbrelle,
# gstreamer1.0-nimbrelle, libnimbrelle-dev and nimbrelle-web installed from the built packages. Beside this
# script: module_probe.c and the OBS and VLC packages, whose dependencies are only resolved
# here. Ends by purging the installed packages and checking nothing of them is left.
set -eu
here=$(dirname "$0")
step() { echo "== $*"; }

step "the installed program finds the installed module"
module=$(pkg-config --variable=module nimbrelle)
[ -f "$module" ]
nimbrelle --version
nimbrelle info "$module" | grep "^name: *Pelkin :: Nimbrelle Calvex$"

step "the built-in demo rendered to MP4"
nimbrelle render -q -o /tmp/demo.mp4
ffprobe -v error -select_streams v:0 -show_entries stream=codec_type,width,height -of csv=p=0 \
  /tmp/demo.mp4 | grep "^video,1280,720$"

step "the element draws frames in a pipeline"
gst-inspect-1.0 nimbrellevis | grep -q "Klass.*Visualization"
gst-launch-1.0 -q audiotestsrc num-buffers=20 ! nimbrellevis \
  ! video/x-raw,format=BGRx,width=64,height=48 ! filesink location=/tmp/frames.raw
size=$(stat -c %s /tmp/frames.raw)
[ "$size" -gt 0 ] && [ $((size % (64 * 48 * 4))) -eq 0 ]
echo "$((size / (64 * 48 * 4))) frames"

step "a C host built against the installed header loads the installed module"
cc $(pkg-config --cflags nimbrelle) "$here/module_probe.c" -o /tmp/module_probe -ldl
/tmp/module_probe "$module"

step "the web page is in place"
for file in index.html page.js nimbrelle.js style.css nimbrelle.wasm nimbrelle-simd.wasm; do
  [ -f "/usr/share/nimbrelle/web/$file" ]
done

step "the OBS source's and the VLC visualisation's dependencies resolve"
apt-get install -s "$here"/obs-nimbrelle_*.deb "$here"/vlc-plugin-nimbrelle_*.deb >/tmp/simulated.txt
for name in obs-studio libvlccore9 obs-nimbrelle vlc-plugin-nimbrelle; do
  grep -q "^Inst $name " /tmp/simulated.txt || { cat /tmp/simulated.txt; echo "$name would not be installed" >&2; exit 1; }
done

step "purged, nothing of the packages is left"
packages="nimbrelle gstreamer1.0-nimbrelle libnimbrelle-dev nimbrelle-web"
dpkg-query -L $packages >/tmp/owned.txt
apt-get purge -y -q $packages >/dev/null
left=$(while read -r path; do
         if [ -L "$path" ] || [ -f "$path" ]; then echo "$path"; fi
       done </tmp/owned.txt
       find /usr /etc /var /opt -xdev -iname '*nimbrelle*')
if [ -n "$left" ]; then
  echo "left after purging:" >&2
  echo "$left" >&2
  exit 1
fi
echo "all checks passed"
