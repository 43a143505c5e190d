// DC blocker over one control frame, mono (the voice's form) and stereo in place.
#include <benchmark/benchmark.h>

#include <array>
#include <random>

#include "bench_util.h"
#include "dsp/dc_blocker.h"

namespace zimblo::bench {
namespace {

void BM_DcBlockerMono(benchmark::State& state) {
    std::array<float, kBlockFrames> source{};
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (float& x : source) x = dist(rng);
    std::array<float, kBlockFrames> buffer{};
    dsp::DcBlocker unit;
    for (auto _ : state) {
        buffer = source;
        unit.renderMono(buffer.data(), kBlockFrames);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    reportPerSample(state, kBlockFrames);
}
BENCHMARK(BM_DcBlockerMono);

void BM_DcBlockerStereo(benchmark::State& state) {
    std::array<StereoFrame, kBlockFrames> source{};
    std::mt19937 rng(4);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (auto& f : source) f = {dist(rng), dist(rng)};
    std::array<StereoFrame, kBlockFrames> buffer{};
    dsp::DcBlocker unit;
    for (auto _ : state) {
        buffer = source;
        unit.renderStereo(buffer.data(), buffer.data(), kBlockFrames);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    reportPerSample(state, kBlockFrames);
}
BENCHMARK(BM_DcBlockerStereo);

}  // namespace
}  // namespace zimblo::bench
