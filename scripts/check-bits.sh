#!/usr/bin/env bash
# Renders the embedded song (60 s, seed pinned) and every song the unit tests play on
# each build present and requires the same bytes from all of them:
#   x86-64 (build/ or $ZIMBLO_BUILD_DIR) with the default voice path, ZIMBLO_SIMD=off, sse2
#   and avx2;
#   ARM64 (build-arm64/zimblo-render, under qemu-user), when built;
#   WebAssembly (build-web/zimblo-render.js, under node), when built.
# The songs the tests play are written by the host's player and tool tests
# (scripts/export-songs.sh); each is rendered for 3 s. Non-zero on any difference.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
host=${ZIMBLO_BUILD_DIR:-$here/build}
arm64=${ZIMBLO_ARM64_BUILD_DIR:-$here/build-arm64}
web=${ZIMBLO_WEB_BUILD_DIR:-$here/build-web}
seed=0x5eed
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/out"
bash "$here/scripts/export-songs.sh" "$host" "$work/songs"

renderers=("x86-64:env ZIMBLO_SIMD=off $host/zimblo-render" "x86-64-default:$host/zimblo-render")
# Below the best path too: each falls back to the best available when the processor lacks it.
renderers+=("x86-64-sse2:env ZIMBLO_SIMD=sse2 $host/zimblo-render" "x86-64-avx2:env ZIMBLO_SIMD=avx2 $host/zimblo-render")
if [[ -x $arm64/zimblo-render ]] && command -v qemu-aarch64 >/dev/null; then
  renderers+=("arm64:qemu-aarch64 -L /usr/aarch64-linux-gnu $arm64/zimblo-render")
fi
if [[ -f $web/zimblo-render.js ]] && command -v node >/dev/null; then
  renderers+=("wasm:node $web/zimblo-render.js")
fi

failures=0 compared=0
for song in "$work"/songs/*.song; do
  name=$(basename "$song" .song)
  length=(--seconds 3)
  [[ $name == embedded ]] && length=(--seconds 60)
  reference=""
  for entry in "${renderers[@]}"; do
    label=${entry%%:*} command=${entry#*:}
    out="$work/out/$name.$label.f32"
    # A song the renderer refuses is refused alike everywhere: compare the exit status too.
    status=0
    $command --song "$song" "${length[@]}" --seed "$seed" --quiet -o "$out" 2>/dev/null || status=$?
    [[ -f $out ]] || : >"$out"
    echo "$status" >>"$out.status"
    if [[ -z $reference ]]; then
      reference=$out
    elif ! cmp -s "$reference" "$out" || ! cmp -s "$reference.status" "$out.status"; then
      echo "DIFFERENT: $name on $label (against ${renderers[0]%%:*})"
      failures=$((failures + 1))
    fi
    compared=$((compared + 1))
  done
done
labels=$(printf '%s ' "${renderers[@]%%:*}")
echo "check-bits: $(ls "$work"/songs/*.song | wc -l) songs on ${labels% }: $((compared - failures)) passed, $failures failed"
((failures == 0))
