#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; non-zero on any failure:
#  - the unit and program tests through ctest;
#  - the embedded song's balance, measured on the render its sound test writes;
#  - the end-to-end sound check (the embedded song through a private sound server, compared
#    with the offline render), then the same under faults: a sound server that stops answering
#    or restarts, a capture that fills its disk, SIGUSR1; and the live player's on a terminal;
#  - the whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer, and the
#    audio-output and program tests under ThreadSanitizer;
#  - every fuzz target: the committed inputs, then a bounded run (ZIMBLO_FUZZ_SECONDS each);
#  - with emscripten and Chromium present: the WebAssembly build, its node renderer against
#    the native one, and the player page in headless Chromium;
#  - the ARM64 cross build and its unit tests under qemu-user, where the toolchain is there;
#  - the same-bits check: every build's renders of the embedded song and the tests' songs.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMBLO_BUILD_DIR:-$here/build}

"$here/scripts/build.sh"
ZIMBLO_SONG_RENDER="$build/embedded-song.f32" ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
/usr/bin/python3 "$here/scripts/song-balance.py" "$build/embedded-song.f32"
ZIMBLO_BUILD_DIR="$build" bash "$here/scripts/e2e-audio.sh"
ZIMBLO_BUILD_DIR="$build" bash "$here/scripts/e2e-faults.sh"
ZIMBLO_BUILD_DIR="$build" bash "$here/scripts/e2e-play.sh"
bash "$here/scripts/sanitize.sh"
bash "$here/scripts/fuzz.sh"
if command -v emcc >/dev/null && command -v chromium >/dev/null; then
  ZIMBLO_BUILD_DIR="$build" bash "$here/scripts/test-web.sh"
else
  echo "test: no emcc or chromium here; the WebAssembly build and the browser test are skipped"
fi
if command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null; then bash "$here/scripts/build-arm64.sh"; fi
ZIMBLO_BUILD_DIR="$build" bash "$here/scripts/check-bits.sh"
