// Bass shelf over one control frame of stereo noise, with its per-frame set-up.
#include <benchmark/benchmark.h>

#include <array>
#include <random>

#include "bench_util.h"
#include "fx/low_shelf.h"

namespace zimblo::bench {
namespace {

void BM_LowShelf(benchmark::State& state) {
    std::array<StereoFrame, kBlockFrames> source{};
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (auto& f : source) f = {dist(rng), dist(rng)};
    std::array<StereoFrame, kBlockFrames> buffer{};
    fx::LowShelf unit;
    for (auto _ : state) {
        buffer = source;
        unit.setParams(100.0f);
        unit.process(buffer.data(), kBlockFrames);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    reportPerSample(state, kBlockFrames);
}
BENCHMARK(BM_LowShelf);

}  // namespace
}  // namespace zimblo::bench
