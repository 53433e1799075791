#!/usr/bin/env bash
# A playlist of 20 short files played in one process through libvlc, under valgrind: VLC makes
# and closes the visualisation for every track; the run must leak nothing (definitely or
# indirectly lost) and show no memory error, and every track must have drawn frames.
#   playlist_test.sh VALGRIND PLAYLIST_PROGRAM PLUGIN MODULE
set -euo pipefail
valgrind=$1 program=$2 plugin=$3 module=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/plugins"
cp "$plugin" "$module" "$scratch/plugins/"

# Stereo and mono, 44.1 and 48 kHz, a third to half a second each.
files=()
for i in $(seq 1 20); do
  file=$scratch/track$(printf %02d "$i").wav
  sox -n -r $((i % 2 ? 44100 : 48000)) -c $((i % 3 ? 2 : 1)) -b 16 "$file" \
      synth 0.$((3 + i % 3)) sine $((200 + 40 * i)) tremolo 5 80
  files+=("$file")
done

# VLC's FreeType text renderer leaks fontconfig's language list once per process; the stand-in
# renderer keeps the leak report to what the playlist itself leaves behind.
status=0
"$valgrind" --leak-check=full --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
    --keep-debuginfo=yes --num-callers=40 --error-exitcode=99 --log-file="$scratch/valgrind.log" \
    "$program" "$scratch/plugins" "$scratch" "${files[@]}" || status=$?
grep -E "definitely lost:|indirectly lost:|ERROR SUMMARY" "$scratch/valgrind.log" || true
if ((status != 0)); then
  ((status == 99)) && cat "$scratch/valgrind.log"
  exit 1
fi
