// Dynamics over one control frame of noise, for each detector and bypass.
#include <benchmark/benchmark.h>

#include <array>
#include <memory>
#include <random>
#include <vector>

#include "bench_util.h"
#include "fx/dynamics.h"
#include "fx/low_shelf.h"
#include "fx/strip_lanes.h"

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

// Dynamics and shelf of 16 busy strips side by side, as the engine runs them ahead of the
// channel loop. state.range(0): 0 every strip linked peak, 1 every strip stereo RMS, 2 a mix of
// the four detectors; state.range(1): the path (0 scalar, 1 SSE2, 2 AVX2).
void BM_StripDynamicsAndShelves(benchmark::State& state) {
    const ScopedSimdPath path(state, 1);
    if (!path.ok()) return;
    constexpr int kStrips = 16;
    struct Strip {
        fx::Dynamics dynamics;
        fx::LowShelf shelf;
        std::array<StereoFrame, kBlockFrames> buffer{};
    };
    std::vector<std::unique_ptr<Strip>> strips;
    std::vector<fx::Dynamics*> dynamics;
    std::vector<fx::LowShelf*> shelves;
    std::vector<StereoFrame*> buffers;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::array<StereoFrame, kBlockFrames> source{};
    for (auto& f : source) f = {dist(rng), dist(rng)};
    for (int s = 0; s < kStrips; ++s) {
        const int detector = state.range(0) == 0 ? 0 : state.range(0) == 1 ? 3 : s % 4;
        const float params[9] = {static_cast<float>(1 + (detector & 1)), static_cast<float>(detector >> 1),
                                 0, static_cast<float>(5 + s), 80, 64, 20, 40, 64};
        strips.push_back(std::make_unique<Strip>());
        strips.back()->dynamics.reset();
        strips.back()->dynamics.setParams(params);
        strips.back()->shelf.setParams(static_cast<float>(40 + s));
        dynamics.push_back(&strips.back()->dynamics);
        shelves.push_back(&strips.back()->shelf);
        buffers.push_back(strips.back()->buffer.data());
    }
    std::array<StereoFrame, 280> levels{};
    for (auto _ : state) {
        for (auto& strip : strips) strip->buffer = source;
        fx::processDynamicsAndShelves(dsp::simdPath(), dynamics.data(), shelves.data(), buffers.data(), kStrips,
                                      kBlockFrames, levels.data());
        benchmark::ClobberMemory();
    }
    reportPerSample(state, kBlockFrames * kStrips);
}
BENCHMARK(BM_StripDynamicsAndShelves)->ArgNames({"detectors", "path"})->ArgsProduct({{0, 1, 2}, {0, 1, 2}});

}  // namespace
}  // namespace zimblo::bench
