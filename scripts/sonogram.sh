#!/usr/bin/env bash
# Renders the embedded song offline (seed 1) and draws its spectrogram into
# docs/embedded-song.png. The build tree is build/ (or $ZIMBLO_BUILD_DIR).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMBLO_BUILD_DIR:-$here/build}
picture=$here/docs/embedded-song.png
tail_seconds=6

"$here/scripts/install-deps.sh" sox
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target zimblo-render zimblo_embedded_song

song=$build/songs/embedded.song
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Song length: the tick of the last event (u32 at byte 4) at the first tempo entry
# (microseconds per quarter, u32 at byte 15 when the map has one entry), plus the tails.
read -r ticks_per_quarter song_ticks < <(od -An -tu4 -N8 "$song" | awk '{print $1, $2}')
tempo=$(od -An -tu4 -j15 -N4 "$song" | tr -d ' ')
seconds=$(awk -v t="$song_ticks" -v q="$ticks_per_quarter" -v us="$tempo" -v tail="$tail_seconds" \
  'BEGIN { printf "%.1f", t / q * us / 1e6 + tail }')

"$build/zimblo-render" --song "$song" --seed 1 --seconds "$seconds" --quiet -o "$work/song.wav"
sox "$work/song.wav" -n remix 1,2 spectrogram -x 1600 -y 513 -z 90 \
  -t "Lantern Circuit (the embedded song), ${seconds} s" -c "zimblo-render --seed 1" -o "$picture"
echo "wrote $picture"
