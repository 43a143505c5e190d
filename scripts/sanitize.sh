#!/usr/bin/env bash
# The whole test suite under AddressSanitizer + UndefinedBehaviorSanitizer (float-to-int
# overflow included: every such conversion must go through the rounding helper), then the
# audio-output and program tests under ThreadSanitizer. Each build has its own directory:
#
#   ZIMBLO_SANITIZE_BUILD_DIR  the ASan + UBSan build (default build-sanitize/)
#   ZIMBLO_TSAN_BUILD_DIR      the ThreadSanitizer build (default build-tsan/)
#   ZIMBLO_SANITIZE_CXX        the compiler (default clang++-14; g++ works as well)
#   ZIMBLO_SANITIZE_ONLY       "asan" or "tsan" to run one half only
#
# Non-zero on any failing test or sanitizer report.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
asan_build=${ZIMBLO_SANITIZE_BUILD_DIR:-$here/build-sanitize}
tsan_build=${ZIMBLO_TSAN_BUILD_DIR:-$here/build-tsan}
cxx=${ZIMBLO_SANITIZE_CXX:-clang++-14}
only=${ZIMBLO_SANITIZE_ONLY:-}
cores=$(nproc)

"$here/scripts/install-deps.sh" clang-14 libclang-rt-14-dev

# -O1 keeps the instrumented tests fast and the build short; asserts stay on.
configure() {
  local dir=$1 flags=$2
  cmake -S "$here" -B "$dir" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" \
    -DZIMBLO_BENCHMARKS=OFF >/dev/null
}

if [[ $only != tsan ]]; then
  echo "== ASan + UBSan: building in $asan_build"
  configure "$asan_build" "-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer"
  cmake --build "$asan_build" -j "$cores"
  echo "== ASan + UBSan: running the test suite"
  ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1} \
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$here/fuzz/lsan.supp} \
    ctest --test-dir "$asan_build" --output-on-failure -j "$cores"
fi

if [[ $only != asan ]]; then
  echo "== TSan: configuring $tsan_build"
  configure "$tsan_build" "-fsanitize=thread -fno-omit-frame-pointer"
  # Only the tests with threads: the audio output (feeder, lock, stop path) and the program.
  targets=()
  available=$(cmake --build "$tsan_build" --target help)
  for t in zimblo_output_tests zimblo_app_tests; do
    grep -q "\.\.\. $t\$" <<<"$available" && targets+=("$t")
  done
  if ((${#targets[@]} == 0)); then
    echo "== TSan: no output or program tests in this tree; nothing to run"
  else
    cmake --build "$tsan_build" -j "$cores" --target "${targets[@]}"
    # ThreadSanitizer runs a signal's handler only at the receiving thread's next
    # intercepted call, so how soon a signal ends the program says nothing there: the
    # signal test runs in the plain and the AddressSanitizer suites only.
    for t in "${targets[@]}"; do
      echo "== TSan: $t"
      TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:history_size=4} \
        "$tsan_build/$t" --gtest_brief=1 --gtest_filter=-Program.EverySignalThatWouldEndItRestoresTheTerminal
    done
  fi
fi
echo "sanitize: all passed"
