#!/usr/bin/env bash
# Cross-builds the engine, its unit tests and zimblo-render for ARM64 Linux into
# build-arm64/ (or $ZIMBLO_ARM64_BUILD_DIR) and runs the unit tests under qemu-user.
# The embedded song's bytes come from the host build (build/ or $ZIMBLO_BUILD_DIR),
# which is built first where it is missing. The embedded song's sound gates are left to
# the host; WAV/FLAC output needs libsndfile for
# ARM64 and is left out, raw float32 output is there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
host=${ZIMBLO_BUILD_DIR:-$here/build}
build=${ZIMBLO_ARM64_BUILD_DIR:-$here/build-arm64}

"$here/scripts/install-deps.sh" g++-aarch64-linux-gnu qemu-user
if [[ ! -f $host/generated/data/embedded_song.cpp ]]; then
  cmake -S "$here" -B "$host" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$host" -j "$(nproc)" --target zimblo_embedded_song
fi
cmake -S "$here" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/aarch64-toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZIMBLO_PROGRAMS=OFF -DZIMBLO_BENCHMARKS=OFF \
  -DZIMBLO_HOST_BUILD_DIR="$host" >/dev/null
cmake --build "$build" -j "$(nproc)"
# The embedded song's whole-song sound gates render four minutes of audio, too slow
# under emulation; its bits are compared with the host's by scripts/check-bits.sh.
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -E '^EmbeddedSongSound\.'

