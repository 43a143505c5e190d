// Shared reporting for the per-unit benchmarks.
#pragma once

#include <benchmark/benchmark.h>

#include "dsp/simd_path.h"

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

// Puts the render path given by the benchmark argument at argIndex (0 scalar, 1 SSE2, 2 AVX2, 3 AVX-512)
// in force for the benchmark's lifetime and labels the result with it; ok() is false, and the
// benchmark skipped, when the processor lacks the path.
class ScopedSimdPath {
public:
    ScopedSimdPath(benchmark::State& state, int argIndex)
        : saved_(dsp::simdPath()), path_(static_cast<dsp::SimdPath>(state.range(argIndex))) {
        if (!dsp::simdPathAvailable(path_)) {
            state.SkipWithError("this processor lacks the path");
            return;
        }
        dsp::setSimdPath(path_);
        state.SetLabel(dsp::simdPathName(path_));
    }
    ~ScopedSimdPath() { dsp::setSimdPath(saved_); }
    ScopedSimdPath(const ScopedSimdPath&) = delete;
    ScopedSimdPath& operator=(const ScopedSimdPath&) = delete;
    bool ok() const { return dsp::simdPath() == path_; }

private:
    dsp::SimdPath saved_;
    dsp::SimdPath path_;
};

}  // namespace zimblo::bench
