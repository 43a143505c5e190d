#!/usr/bin/env bash
# Installs what is missing, builds zimblo and plays the embedded song on the
# sound card until Escape is pressed. ZIMBLO_AUDIO picks another device (see
# README); the build goes into build/ (or $ZIMBLO_BUILD_DIR).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMBLO_BUILD_DIR:-$here/build}

"$here/scripts/install-deps.sh" libasound2-dev
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$build" -j "$(nproc)" --target zimblo; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "play.sh: the build failed" >&2
  exit 1
fi
rm -f "$log"
trap - EXIT
exec "$build/zimblo"
