#include <algorithm>
#include <array>
#include <cmath>

#include <benchmark/benchmark.h>

#include "bench_util.h"
#include "speech/singer.h"

namespace {

using zimblo::StereoFrame;
using zimblo::speech::Singer;

// A line without pause marks, so the sequencer keeps reading text.
constexpr const char* kLine = "DHAXkwIHkbr4AHUHnfAAksjAHmpsOWvERDHAXlEYzIYdAAg ";

struct SingerFixture {
    Singer singer{};
    std::array<StereoFrame, zimblo::bench::kBlockFrames> source{};
    std::array<StereoFrame, zimblo::bench::kBlockFrames> block{};
    std::array<const char*, 256> texts{};

    SingerFixture() {
        Singer::setSampleRate(44100);
        singer.initialise();
        texts[0] = kLine;
        singer.setTexts(texts.data());
        // A 220 Hz sawtooth-like excitation, as channel 15's voices would give.
        for (int i = 0; i < zimblo::bench::kBlockFrames; ++i) {
            const float phase = std::fmod(static_cast<float>(i) * (220.0f / 44100.0f), 1.0f);
            source[i] = StereoFrame{0.5f * (2.0f * phase - 1.0f), 0.0f};
        }
    }
};

// One control frame: the sequencer step and the filter over 128 frames.
void BM_SingerControlFrame(benchmark::State& state) {
    SingerFixture f;
    for (auto _ : state) {
        f.block = f.source;
        f.singer.step();
        f.singer.render(f.block.data(), zimblo::bench::kBlockFrames);
        benchmark::DoNotOptimize(f.block.data());
        benchmark::ClobberMemory();
    }
    zimblo::bench::reportPerSample(state, zimblo::bench::kBlockFrames);
}
BENCHMARK(BM_SingerControlFrame);

// The filter alone, gliding towards a fresh target each block.
void BM_SingerRender(benchmark::State& state) {
    SingerFixture f;
    for (int i = 0; i < 20; ++i) f.singer.step();
    const auto target = f.singer.filter.target;
    const auto start = f.singer.filter.current;
    for (auto _ : state) {
        f.block = f.source;
        f.singer.filter.current = start;
        f.singer.filter.target = target;
        f.singer.render(f.block.data(), zimblo::bench::kBlockFrames);
        benchmark::DoNotOptimize(f.block.data());
        benchmark::ClobberMemory();
    }
    zimblo::bench::reportPerSample(state, zimblo::bench::kBlockFrames);
}
BENCHMARK(BM_SingerRender);

// The sequencer step alone (one power, seven exponentials and cosines,
// eleven level conversions), per control frame.
void BM_SingerStep(benchmark::State& state) {
    SingerFixture f;
    for (auto _ : state) {
        f.singer.step();
        benchmark::DoNotOptimize(f.singer.filter.target);
        benchmark::ClobberMemory();
    }
    zimblo::bench::reportPerSample(state, 1);
}
BENCHMARK(BM_SingerStep);

}  // namespace
