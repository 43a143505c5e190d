#include <benchmark/benchmark.h>

#include "bench_util.h"
#include "dsp/envelope.h"

namespace {

using zimblo::bench::kBlockFrames;
using zimblo::dsp::Envelope;

// One 128-tick iteration per block: a medium attack, decay onto a sustain level, a slow
// sustain fade, then release; each iteration re-attacks from the released level, so every
// stage handler runs.
void BM_EnvelopeGateCycle(benchmark::State& state) {
    const float params[6] = {40.0f, 60.0f, 70.0f, 50.0f, 60.0f, 100.0f};
    Envelope envelope;
    envelope.setup(params);
    constexpr int kHeldTicks = 96;
    for (auto _ : state) {
        for (int i = 0; i < kBlockFrames; ++i) {
            envelope.tick(i < kHeldTicks ? 1 : 0);
            benchmark::DoNotOptimize(envelope.output);
        }
    }
    zimblo::bench::reportPerSample(state, kBlockFrames);
}
BENCHMARK(BM_EnvelopeGateCycle);

// A held note at sustain rate 64: the steady state of most voices.
void BM_EnvelopeSustainHold(benchmark::State& state) {
    const float params[6] = {0.0f, 0.0f, 90.0f, 64.0f, 60.0f, 100.0f};
    Envelope envelope;
    envelope.setup(params);
    for (auto _ : state) {
        for (int i = 0; i < kBlockFrames; ++i) {
            envelope.tick(1);
            benchmark::DoNotOptimize(envelope.output);
        }
    }
    zimblo::bench::reportPerSample(state, kBlockFrames);
}
BENCHMARK(BM_EnvelopeSustainHold);

}  // namespace
