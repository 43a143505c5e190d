// Shared reporting for the per-unit benchmarks.
#pragma once

#include <benchmark/benchmark.h>

namespace zimblo::bench {

// One control frame at 44100 Hz: the block every unit benchmark processes.
constexpr int kBlockFrames = 128;

// Adds a "per_sample" counter: seconds per processed sample (or frame, or tick),
// printed with an SI prefix (e.g. 2.5n).
inline void reportPerSample(benchmark::State& state, double samplesPerIteration) {
    state.counters["per_sample"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * samplesPerIteration,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace zimblo::bench
