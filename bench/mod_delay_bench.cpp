// Modulated delay over one control frame: the chorus (insert, 2048-frame lines)
// and the global delay (send from a mono bus, 32768-frame lines), both swept.
#include <benchmark/benchmark.h>

#include <array>
#include <random>
#include <vector>

#include "bench_util.h"
#include "fx/mod_delay.h"

namespace zimblo::bench {
namespace {

// Mix, feedback, base left/right, rate, depth, right phase.
constexpr float kChorusParams[7] = {100, 80, 2, 3, 90, 40, 96};
constexpr float kDelayParams[7] = {100, 90, 20, 30, 40, 10, 80};

void BM_ModDelayInsert(benchmark::State& state) {
    std::vector<float> lines(2 * 2048);
    fx::ModDelay unit;
    unit.setLines(lines.data(), lines.data() + 2048, 2047);
    unit.reset();
    std::array<StereoFrame, kBlockFrames> source{};
    std::mt19937 rng(6);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (auto& f : source) f = {dist(rng), dist(rng)};
    std::array<StereoFrame, kBlockFrames> buffer{};
    for (auto _ : state) {
        buffer = source;
        unit.setParams(kChorusParams);
        unit.processInsert(buffer.data(), kBlockFrames);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    reportPerSample(state, kBlockFrames);
}
BENCHMARK(BM_ModDelayInsert);

void BM_ModDelaySend(benchmark::State& state) {
    std::vector<float> lines(2 * 32768);
    fx::ModDelay unit;
    unit.setLines(lines.data(), lines.data() + 32768, 32767);
    unit.reset();
    unit.setParams(kDelayParams);
    std::array<float, kBlockFrames> bus{};
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (float& x : bus) x = dist(rng);
    std::array<StereoFrame, kBlockFrames> master{};
    for (auto _ : state) {
        master.fill({});
        unit.processSend(bus.data(), master.data(), kBlockFrames);
        benchmark::DoNotOptimize(master.data());
        benchmark::ClobberMemory();
    }
    reportPerSample(state, kBlockFrames);
}
BENCHMARK(BM_ModDelaySend);

}  // namespace
}  // namespace zimblo::bench
