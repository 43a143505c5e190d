#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; non-zero on any failure:
#  - the unit and program tests through ctest;
#  - the end-to-end sound check (the embedded song through a private sound server, compared
#    with the offline render);
#  - the whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer, and the
#    audio-output and program tests under ThreadSanitizer;
#  - every fuzz target: the committed inputs, then a bounded run (ZIMBLO_FUZZ_SECONDS each);
#  - with emscripten and Chromium present: the WebAssembly build, its node renderer against
#    the native one, and the player page in headless Chromium.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMBLO_BUILD_DIR:-$here/build}

"$here/scripts/build.sh"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
ZIMBLO_BUILD_DIR="$build" bash "$here/scripts/e2e-audio.sh"
bash "$here/scripts/sanitize.sh"
bash "$here/scripts/fuzz.sh"
if command -v emcc >/dev/null && command -v chromium >/dev/null; then
  ZIMBLO_BUILD_DIR="$build" bash "$here/scripts/test-web.sh"
else
  echo "test: no emcc or chromium here; the WebAssembly build and the browser test are skipped"
fi
