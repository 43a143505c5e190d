// One oscillator rendering one control frame (128 samples) into a work buffer, per waveform.
#include <benchmark/benchmark.h>

#include <array>

#include "bench_util.h"
#include "dsp/oscillator.h"

namespace zimblo::bench {
namespace {

void renderWaveform(benchmark::State& state, float waveform, float colour) {
    dsp::Oscillator osc;
    osc.reset(0);
    osc.note = 57.0f;
    const std::array<float, 6> params = {waveform, 0.0f, 64.0f, 70.0f, colour, 80.0f};
    osc.setup(params.data());
    // A sine left in the buffer, so the phase-modulated sine has a modulator to follow.
    std::array<float, kBlockFrames> work{};
    dsp::Oscillator modulator = osc;
    modulator.waveform = static_cast<int32_t>(dsp::Waveform::Sine);
    modulator.render(work.data(), kBlockFrames, {});
    const dsp::AuxInputs aux;
    for (auto _ : state) {
        osc.render(work.data(), kBlockFrames, aux);
        benchmark::DoNotOptimize(work.data());
        benchmark::ClobberMemory();
    }
    reportPerSample(state, kBlockFrames);
}

void BM_OscillatorTriangleSaw(benchmark::State& state) { renderWaveform(state, 1.0f, 30.0f); }
void BM_OscillatorPulse(benchmark::State& state) { renderWaveform(state, 2.0f, 50.0f); }
void BM_OscillatorSine(benchmark::State& state) { renderWaveform(state, 3.0f, 0.0f); }
void BM_OscillatorNoise(benchmark::State& state) { renderWaveform(state, 4.0f, 40.0f); }
void BM_OscillatorPhaseModSine(benchmark::State& state) { renderWaveform(state, 5.0f, 0.0f); }

BENCHMARK(BM_OscillatorTriangleSaw);
BENCHMARK(BM_OscillatorPulse);
BENCHMARK(BM_OscillatorSine);
BENCHMARK(BM_OscillatorNoise);
BENCHMARK(BM_OscillatorPhaseModSine);

}  // namespace
}  // namespace zimblo::bench
