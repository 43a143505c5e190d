#!/usr/bin/env bash
# The WebAssembly checks: builds build-web/ (scripts/build-web.sh), requires zimblo-render.js
# under node to write the same bytes as the native zimblo-render, then drives the player
# page in headless Chromium (tests/web/player_page_test.js: the worklet's renders against
# zimblo-render bit for bit, of the embedded song and of every song the player and tool
# tests make, opened with the page's file picker; Play, the meters, a malformed song file).
# The songs are exported as check-bits.sh exports them (scripts/export-songs.sh) and handed
# to the browser test in ZIMBLO_WEB_SONGS. The npm packages the browser test uses are
# installed from tests/web/package-lock.json when it changes.
#
#   ZIMBLO_BUILD_DIR      the native build (default build/)
#   ZIMBLO_WEB_BUILD_DIR  the WebAssembly build (default build-web/)
#   ZIMBLO_WEB_SCREENSHOT also write the page's screenshot there (docs/player-page.png
#                         for the README)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMBLO_BUILD_DIR:-$here/build}
web_build=${ZIMBLO_WEB_BUILD_DIR:-$here/build-web}
seed=0x5eed1234
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}

started=$SECONDS
ZIMBLO_BUILD_DIR="$build" ZIMBLO_WEB_BUILD_DIR="$web_build" bash "$here/scripts/build-web.sh"
cmake --build "$build" -j "$(nproc)" --target zimblo-render zimblo_player_tests zimblo_tools_tests >/dev/null
echo "test-web: built in $((SECONDS - started)) s"

work=$(mktemp -d /tmp/zimblo-web.XXXXXX)
trap 'rm -rf "$work"' EXIT
"$build/zimblo-render" --seconds 20 --seed "$seed" --quiet -o "$work/native.f32"
node "$web_build/zimblo-render.js" --seconds 20 --seed "$seed" --quiet -o "$work/node.f32"
cmp "$work/native.f32" "$work/node.f32" ||
  { echo "test-web: zimblo-render.js under node differs from zimblo-render" >&2; exit 1; }
echo "test-web: zimblo-render.js under node writes the same 20 s as zimblo-render"

tests=$here/tests/web
if ! cmp -s "$tests/package-lock.json" "$tests/node_modules/.zimblo-installed-lock"; then
  (cd "$tests" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$tests/package-lock.json" "$tests/node_modules/.zimblo-installed-lock"
fi
bash "$here/scripts/export-songs.sh" "$build" "$work/songs"
ZIMBLO_RENDER="$build/zimblo-render" ZIMBLO_WEB_BUILD_DIR="$web_build" ZIMBLO_WEB_SONGS="$work/songs" \
  node --test "$tests/player_page_test.js"
echo "test-web: passed in $((SECONDS - started)) s"
