// Shaper over one control frame: overdrive, crusher, decimator and a filter mode on a voice's
// mono buffer, and overdrive and a filter mode on a channel's stereo buffer (per frame).
#include <benchmark/benchmark.h>

#include <array>
#include <random>

#include "bench_util.h"
#include "dsp/shaper.h"

namespace zimblo::bench {
namespace {

void runMono(benchmark::State& state, float mode, float drive, float amount, float bias) {
    std::array<float, kBlockFrames> source{};
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (float& x : source) x = dist(rng);
    std::array<float, kBlockFrames> destination{};
    dsp::Shaper shaper;
    const float params[4] = {mode, drive, amount, bias};
    shaper.setup(params);
    for (auto _ : state) {
        shaper.renderMono(source.data(), destination.data(), kBlockFrames);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    reportPerSample(state, kBlockFrames);
}

void runStereo(benchmark::State& state, float mode, float drive, float amount, float bias) {
    std::array<StereoFrame, kBlockFrames> source{};
    std::mt19937 rng(8);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (auto& f : source) f = {dist(rng), dist(rng)};
    std::array<StereoFrame, kBlockFrames> buffer{};
    dsp::Shaper shaper;
    const float params[4] = {mode, drive, amount, bias};
    shaper.setup(params);
    for (auto _ : state) {
        buffer = source;
        shaper.renderStereo(buffer.data(), buffer.data(), kBlockFrames);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    reportPerSample(state, kBlockFrames);
}

void BM_ShaperOverdrive(benchmark::State& state) { runMono(state, 1, 48, 100, 70); }
BENCHMARK(BM_ShaperOverdrive);

void BM_ShaperCrusher(benchmark::State& state) { runMono(state, 3, 40, 20, 3); }
BENCHMARK(BM_ShaperCrusher);

void BM_ShaperDecimator(benchmark::State& state) { runMono(state, 4, 32, 90, 0); }
BENCHMARK(BM_ShaperDecimator);

void BM_ShaperLadderFilter(benchmark::State& state) { runMono(state, 10, 32, 100, 30); }
BENCHMARK(BM_ShaperLadderFilter);

void BM_ShaperStereoOverdrive(benchmark::State& state) { runStereo(state, 1, 48, 100, 70); }
BENCHMARK(BM_ShaperStereoOverdrive);

void BM_ShaperStereoLadderFilter(benchmark::State& state) { runStereo(state, 10, 32, 100, 30); }
BENCHMARK(BM_ShaperStereoLadderFilter);

}  // namespace
}  // namespace zimblo::bench
