#!/usr/bin/env bash
# The soak: one hour of the embedded song rendered offline with a pinned seed, in cycles of
# ten minutes (the song, then its tails and silence), checking that no sample is NaN or
# infinite, that the time per rendered minute stays flat from the first cycle to the last,
# and that memory does not grow. Not part of every CI run: it takes a few minutes of CPU.
#
#   ZIMBLO_SOAK_BUILD_DIR   build directory (default build-soak/)
#   ZIMBLO_SOAK_SONG        another song file to soak instead of the embedded one
#   further arguments go to the driver: --minutes N, --cycle-minutes N, --seed S,
#   --rate R, --block B, --max-slowdown F, --max-growth-kb K
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMBLO_SOAK_BUILD_DIR:-$here/build-soak}

"$here/scripts/install-deps.sh"
# A release build without tests: the same flags as the program the user runs.
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZIMBLO_TESTS=OFF -DZIMBLO_BENCHMARKS=OFF >/dev/null
song=${ZIMBLO_SOAK_SONG:-}
targets=(zimblo_player)
[[ -n $song ]] || targets+=(zimblo_embedded_song)
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"
song=${song:-$build/songs/embedded.song}

# The driver, linked against the layers the build made.
g++ -std=c++20 -O2 -ffp-contract=off -fno-fast-math -Wall -Wextra -I"$here/src" "$here/scripts/soak.cpp" \
  "$build/libzimblo_player.a" "$build/libzimblo_synth.a" "$build/libzimblo_fx.a" \
  "$build/libzimblo_speech.a" "$build/libzimblo_dsp.a" -o "$build/soak"
"$build/soak" --song "$song" "$@"
