#!/usr/bin/env bash
# Builds the WebAssembly targets with Debian's emscripten into build-web/ (or
# $ZIMBLO_WEB_BUILD_DIR):
#   zimblo-render.js (+ .wasm)  the offline renderer for node, with the native tool's command
#                               line, reading and writing files through node's filesystem;
#                               raw float32 output only (.f32 or -)
#   index.html, player.js, player.css, worklet.js, zimblo-player.wasm, assets.js
#                               the static player page; assets.js carries the worklet's source
#                               and the wasm as text so the page also works opened from disk
# The embedded song's source comes from the host build (build/ or $ZIMBLO_BUILD_DIR), which
# compiles it with zimblo-songc; the song compiler itself is not built for WebAssembly.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
host_build=${ZIMBLO_BUILD_DIR:-$here/build}
out=${ZIMBLO_WEB_BUILD_DIR:-$here/build-web}

"$here/scripts/install-deps.sh"
# Debian's emscripten finds its acorn through node's module path.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
# The compiler cache the native build uses serves emcc too, when it is there.
if [[ ${CMAKE_CXX_COMPILER_LAUNCHER:-} == ccache ]] && command -v ccache >/dev/null; then
  export EM_COMPILER_WRAPPER=ccache
fi

cmake -S "$here" -B "$host_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$host_build" -j "$(nproc)" --target zimblo_embedded_song >/dev/null
embedded_cpp=$host_build/generated/data/embedded_song.cpp
[[ -f $embedded_cpp ]] || { echo "build-web: the host build made no $embedded_cpp" >&2; exit 1; }

# The same rules as the native build: operations as written, no contraction, no fast-math.
# compat/ adds the C++20 library parts that emscripten 3.1.6 lacks (bit_cast, atomic_ref).
flags=(-std=c++20 -O2 -Wall -Wextra -ffp-contract=off -fno-fast-math
       -I"$here/src" -I"$here/tools/web/compat")
defines=(-DZIMBLO_HAS_EMBEDDED_SONG=1 -DZIMBLO_HAS_SNDFILE=0)
objects=$out/obj
# Objects made with other flags (or another compiler) are made again.
stamp="$(em++ --version | sed -n 1p) ${flags[*]} ${defines[*]}"
if [[ -d $objects && $(cat "$objects/flags" 2>/dev/null) != "$stamp" ]]; then rm -rf "$objects"; fi
mkdir -p "$objects"
echo "$stamp" > "$objects/flags"

# Each layer's sources are every .cpp of its folder, as in the native build, less those for
# one processor family (name_sse2.cpp, name_avx2.cpp, name_avx512.cpp, name_neon.cpp...): WebAssembly takes
# the portable code.
sources=()
for layer in dsp fx speech synth player; do
  for source in "$here"/src/$layer/*.cpp; do
    [[ $source =~ _(sse2|sse41|avx2|avx512|neon)\.cpp$ ]] || sources+=("$source")
  done
done
sources+=("$embedded_cpp")

# Compiles one source to its object unless the object is newer than the source and every
# header it read (emcc writes the list beside it).
compile() {
  local source=$1 object=$2
  if [[ -f $object && -f $object.d ]]; then
    local stale=0 dep
    for dep in $(sed -e 's/^[^:]*://' -e 's/\\$//' "$object.d"); do
      [[ $dep -nt $object ]] && { stale=1; break; }
    done
    ((stale)) || return 0
  fi
  em++ "${flags[@]}" "${@:3}" -MMD -MF "$object.d" -c "$source" -o "$object"
}
export -f compile
export flags_joined="${flags[*]} ${defines[*]}"

engine_objects=()
jobs=()
for source in "${sources[@]}"; do
  name=${source#"$here"/}
  name=${name#"$host_build"/}
  object=$objects/${name//\//_}.o
  engine_objects+=("$object")
  jobs+=("$source" "$object")
done
render_object=$objects/zimblo_render.o
player_object=$objects/web_player.o
jobs+=("$here/tools/render/zimblo_render.cpp" "$render_object")
jobs+=("$here/tools/web/web_player.cpp" "$player_object")

# One compile per core.
printf '%s\0%s\0' "${jobs[@]}" |
  xargs -0 -n 2 -P "$(nproc)" bash -c 'flags=($flags_joined); compile "$1" "$2"' _

# The renderer for node: files through node's own filesystem, compiled synchronously
# (node's fetch cannot read a local .wasm path).
em++ "${flags[@]}" "${engine_objects[@]}" "$render_object" -o "$out/zimblo-render.js" \
  -sNODERAWFS=1 -sWASM_ASYNC_COMPILATION=0 -sALLOW_MEMORY_GROWTH=1 -sEXIT_RUNTIME=1 \
  -sINITIAL_MEMORY=64MB -sENVIRONMENT=node

# The worklet's engine: a bare module with no JavaScript runtime, whose few imports the
# worklet supplies itself; fixed memory, so its views over the render buffer stay valid.
em++ "${flags[@]}" "${engine_objects[@]}" "$player_object" -o "$out/zimblo-player.wasm" \
  -sSTANDALONE_WASM=1 --no-entry -sINITIAL_MEMORY=64MB -sALLOW_MEMORY_GROWTH=0 \
  -sABORTING_MALLOC=0 -sFILESYSTEM=0

# The page.
cp "$here"/tools/web/page/index.html "$here"/tools/web/page/player.js "$here"/tools/web/page/player.css \
   "$here"/tools/web/page/worklet.js "$out/"
node "$here/tools/web/page/make_assets.js" "$out/worklet.js" "$out/zimblo-player.wasm" "$out/assets.js"
echo "build-web: $out/zimblo-render.js, $out/index.html" \
     "(zimblo-player.wasm $(stat -c %s "$out/zimblo-player.wasm") bytes)"
