// Reverb over one control frame: noise into the send bus, output added to a master.
#include <benchmark/benchmark.h>

#include <array>
#include <memory>
#include <random>

#include "bench_util.h"
#include "fx/reverb.h"

namespace zimblo::bench {
namespace {

void BM_Reverb(benchmark::State& state) {
    const float params[4] = {100, 110, 20, 90};
    auto reverb = std::make_unique<fx::Reverb>();
    reverb->clear();
    reverb->setParams(params);

    std::array<float, kBlockFrames> bus{};
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (float& v : bus) v = dist(rng);
    std::array<StereoFrame, kBlockFrames> master{};

    for (auto _ : state) {
        master.fill(StereoFrame{});
        reverb->process(bus.data(), master.data(), kBlockFrames);
        benchmark::DoNotOptimize(master.data());
        benchmark::ClobberMemory();
    }
    reportPerSample(state, kBlockFrames);
}
BENCHMARK(BM_Reverb);

}  // namespace
}  // namespace zimblo::bench
