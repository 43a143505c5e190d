#!/usr/bin/env bash
# Builds the libFuzzer targets (clang++-14, AddressSanitizer + UndefinedBehaviorSanitizer,
# into build-fuzz/ or $ZIMBLO_FUZZ_BUILD_DIR), replays every committed regression input and
# seed, then fuzzes each target for a bounded time. Fails on any finding.
#
#   ZIMBLO_FUZZ_SECONDS   seconds of fuzzing per target (default 60; 0 only replays)
#   ZIMBLO_FUZZ_JOBS      targets fuzzed at once (default: the number of cores)
#   ZIMBLO_FUZZ_TARGETS   space-separated subset of the targets (default: all that were built)
#
# Targets: song_loader, song_play, event_stream (the engine and player), songc_score,
# songc_project, songc_midi, songc_dump (the song compiler, when it is in the tree).
# Seeds: fuzz/corpus/<target>/, plus the embedded song compiled from songs/embedded/.
# A finding leaves its input in build-fuzz/findings/<target>/ (crash-*, leak-*, timeout-*,
# oom-*); once the fault is fixed, copy it to fuzz/regressions/<target>/ so that every
# later run replays it.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMBLO_FUZZ_BUILD_DIR:-$here/build-fuzz}
seconds=${ZIMBLO_FUZZ_SECONDS:-60}
jobs=${ZIMBLO_FUZZ_JOBS:-$(nproc)}

"$here/scripts/install-deps.sh" clang-14 libclang-rt-14-dev

cmake -S "$here/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

targets=${ZIMBLO_FUZZ_TARGETS:-}
if [[ -z $targets ]]; then
  for t in song_loader song_play event_stream songc_score songc_project songc_midi songc_dump; do
    [[ -x $build/${t}_fuzz ]] && targets+=" $t"
  done
fi

# Leaks count as findings, except the MIDI library's own (fuzz/lsan.supp says which).
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$here/fuzz/lsan.supp}
options=(-timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1)

# Regression inputs and seeds: each is run once and must pass.
for t in $targets; do
  inputs=()
  for d in "$here/fuzz/regressions/$t" "$here/fuzz/corpus/$t"; do
    [[ -d $d ]] && inputs+=("$d"/*)
  done
  if ((${#inputs[@]})); then
    echo "== $t: replaying ${#inputs[@]} committed inputs"
    "$build/${t}_fuzz" "${options[@]}" "${inputs[@]}" >"$build/$t.replay.log" 2>&1 ||
      { tail -n 60 "$build/$t.replay.log"; echo "fuzz: $t failed on a committed input (log: $build/$t.replay.log)"; exit 1; }
  fi
done

((seconds > 0)) || { echo "fuzz: committed inputs pass (no fuzzing: ZIMBLO_FUZZ_SECONDS=0)"; exit 0; }

# Working corpora live in the build tree (the committed seeds stay as they are); the
# embedded song joins them, compiled afresh from its sources.
if [[ -x $build/embedded_seeds && -f $here/songs/embedded/song.toml ]]; then
  "$build/embedded_seeds" "$here/songs/embedded/song.toml" "$build/corpus" ||
    echo "fuzz: the embedded song did not compile; fuzzing without it"
fi

run_target() {
  local t=$1
  local work="$build/corpus/$t" findings="$build/findings/$t"
  mkdir -p "$work" "$findings"
  local seeds=()
  [[ -d $here/fuzz/corpus/$t ]] && seeds+=("$here/fuzz/corpus/$t")
  "$build/${t}_fuzz" "${options[@]}" -max_total_time="$seconds" -artifact_prefix="$findings/" \
    "$work" "${seeds[@]}" >"$build/$t.log" 2>&1
}

pids=() names=() failed=0
wait_one() {
  local pid=${pids[0]} name=${names[0]}
  pids=("${pids[@]:1}") names=("${names[@]:1}")
  if wait "$pid"; then
    echo "== $name: $(awk '/^stat::number_of_executed_units/ {print $2}' "$build/$name.log") runs, no finding"
  else
    tail -n 60 "$build/$name.log"
    echo "fuzz: $name found a fault; its input is in $build/findings/$name/"
    failed=1
  fi
}
for t in $targets; do
  echo "== $t: fuzzing for $seconds s"
  run_target "$t" &
  pids+=($!) names+=("$t")
  ((${#pids[@]} < jobs)) || wait_one
done
while ((${#pids[@]})); do wait_one; done
((failed == 0)) && echo "fuzz: no finding"
exit $failed
