#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; non-zero on any failure.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMBLO_BUILD_DIR:-$here/build}

"$here/scripts/build.sh"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
