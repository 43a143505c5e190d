#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; non-zero on any failure.
# The unit and program tests run through ctest; the end-to-end sound check plays the
# embedded song through a private sound server and compares it with the offline render.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMBLO_BUILD_DIR:-$here/build}

"$here/scripts/build.sh"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
ZIMBLO_BUILD_DIR="$build" bash "$here/scripts/e2e-audio.sh"
