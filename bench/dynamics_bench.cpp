// Dynamics over one control frame of noise, for each detector and bypass.
#include <benchmark/benchmark.h>

#include <array>
#include <memory>
#include <random>

#include "bench_util.h"
#include "fx/dynamics.h"

namespace zimblo::bench {
namespace {

// state.range(0): d0 (0 off, 1 peak, 2 RMS); state.range(1): d1 (0 linked, 1 stereo).
void BM_Dynamics(benchmark::State& state) {
    const float params[9] = {static_cast<float>(state.range(0)), static_cast<float>(state.range(1)),
                             0, 20, 80, 64, 20, 40, 64};
    auto unit = std::make_unique<fx::Dynamics>();
    unit->reset();
    unit->setParams(params);

    std::array<StereoFrame, kBlockFrames> source{};
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (auto& f : source) f = {dist(rng), dist(rng)};
    std::array<StereoFrame, kBlockFrames> buffer{};
    std::array<StereoFrame, 280> levels{};

    for (auto _ : state) {
        buffer = source;
        unit->setParams(params);
        unit->process(buffer.data(), kBlockFrames, levels.data());
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    reportPerSample(state, kBlockFrames);
}
BENCHMARK(BM_Dynamics)
    ->ArgNames({"kind", "stereo"})
    ->Args({1, 0})   // linked peak
    ->Args({2, 0})   // linked RMS
    ->Args({1, 1})   // stereo peak
    ->Args({2, 1})   // stereo RMS
    ->Args({0, 0});  // bypass

}  // namespace
}  // namespace zimblo::bench
