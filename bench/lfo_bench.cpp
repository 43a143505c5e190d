#include <benchmark/benchmark.h>

#include "bench_util.h"
#include "dsp/lfo.h"

namespace {

using zimblo::bench::kBlockFrames;
using zimblo::dsp::Lfo;

// 128 ticks per iteration of one shape (the argument: 0 saw, 1 triangle, 2 square, 3 sine,
// 4 sample-and-hold) at a fast rate, so sample-and-hold draws every few ticks.
void BM_LfoShape(benchmark::State& state) {
    const float params[7] = {static_cast<float>(state.range(0)), 0.0f, 0.0f, 110.0f,
                             0.0f, 2.0f, 64.0f};
    Lfo lfo;
    lfo.reset();
    lfo.setup(params);
    for (auto _ : state) {
        for (int i = 0; i < kBlockFrames; ++i) {
            lfo.tick();
            benchmark::DoNotOptimize(lfo.output);
        }
    }
    zimblo::bench::reportPerSample(state, kBlockFrames);
}
BENCHMARK(BM_LfoShape)->ArgName("shape")->DenseRange(0, 4);

}  // namespace
