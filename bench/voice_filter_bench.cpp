// Voice filter over one control frame: a state-variable and a ladder type, from a source
// buffer into a destination (the parallel routing's use) and in place.
#include <benchmark/benchmark.h>

#include <array>
#include <random>

#include "bench_util.h"
#include "dsp/voice_filter.h"

namespace zimblo::bench {
namespace {

std::array<float, kBlockFrames> noiseBlock(unsigned seed) {
    std::array<float, kBlockFrames> block{};
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (float& x : block) x = dist(rng);
    return block;
}

void runFilter(benchmark::State& state, float type) {
    const auto source = noiseBlock(5);
    std::array<float, kBlockFrames> destination{};
    dsp::VoiceFilter filter;
    const float params[3] = {type, 90.0f, 70.0f};
    filter.setup(params);
    for (auto _ : state) {
        filter.render(source.data(), destination.data(), kBlockFrames);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    reportPerSample(state, kBlockFrames);
}

void BM_VoiceFilterStateVariableLow(benchmark::State& state) { runFilter(state, 1.0f); }
BENCHMARK(BM_VoiceFilterStateVariableLow);

void BM_VoiceFilterStateVariableAllOutputs(benchmark::State& state) { runFilter(state, 5.0f); }
BENCHMARK(BM_VoiceFilterStateVariableAllOutputs);

void BM_VoiceFilterLadderLow(benchmark::State& state) { runFilter(state, 6.0f); }
BENCHMARK(BM_VoiceFilterLadderLow);

void BM_VoiceFilterLadderHighInPlace(benchmark::State& state) {
    const auto source = noiseBlock(6);
    std::array<float, kBlockFrames> buffer{};
    dsp::VoiceFilter filter;
    const float params[3] = {7.0f, 60.0f, 90.0f};
    filter.setup(params);
    for (auto _ : state) {
        buffer = source;
        filter.render(buffer.data(), buffer.data(), kBlockFrames);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    reportPerSample(state, kBlockFrames);
}
BENCHMARK(BM_VoiceFilterLadderHighInPlace);

}  // namespace
}  // namespace zimblo::bench
