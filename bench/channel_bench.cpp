// One channel strip over one control frame: set-up of the 29 parameters, then
// the strip with every unit working (chorus, stereo RMS dynamics, shelf, a
// shaper in filter mode) and every send and return active.
#include <benchmark/benchmark.h>

#include <array>
#include <memory>
#include <random>
#include <vector>

#include "bench_util.h"
#include "fx/channel.h"

namespace zimblo::bench {
namespace {

void BM_ChannelStrip(benchmark::State& state) {
    // Gains and order 0; shelf 100; shaper mode 5 (low-pass) with cutoff and
    // resonance; chorus; dynamics: RMS, stereo, lookahead 5 ms.
    const float params[29] = {100, 32, 32, 40, 40, 64, 48, 0, 100, 5, 64, 80, 40,
                              100, 80, 2, 3, 90, 40, 96, 2, 1, 0, 5, 60, 64, 20, 40, 64};
    auto channel = std::make_unique<fx::Channel>();
    std::vector<float> lines(2 * 2048);
    channel->chorus.setLines(lines.data(), lines.data() + 2048, 2047);
    channel->resetEffects();

    std::array<StereoFrame, kBlockFrames> source{};
    std::mt19937 rng(8);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (auto& f : source) f = {dist(rng), dist(rng)};
    std::array<StereoFrame, kBlockFrames> buffer{};
    std::array<float, 280> reverb{}, delay{};
    std::array<StereoFrame, 280> aux1{}, aux2{}, master{}, level{};
    const fx::SendBuses buses{reverb.data(), delay.data(), aux1.data(), aux2.data(), master.data()};

    for (auto _ : state) {
        buffer = source;
        reverb.fill(0.0f);
        delay.fill(0.0f);
        aux1.fill({});
        aux2.fill({});
        master.fill({});
        channel->setupEffects(params);
        channel->processStrip(buffer.data(), kBlockFrames, buses, level.data());
        benchmark::DoNotOptimize(master.data());
        benchmark::ClobberMemory();
    }
    reportPerSample(state, kBlockFrames);
}
BENCHMARK(BM_ChannelStrip);

}  // namespace
}  // namespace zimblo::bench
