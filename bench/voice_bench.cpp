// One voice over one control frame, update included: the cheapest playing voice (one saw
// into one state-variable filter) and the most expensive (three oscillators, two ladder
// filters in parallel, overdrive).
#include <benchmark/benchmark.h>

#include <array>

#include "bench_util.h"
#include "dsp/free_running_counter.h"
#include "dsp/rate_constants.h"
#include "dsp/voice.h"

namespace zimblo::bench {
namespace {

using Params = std::array<float, 59>;

// Centred pan and transposes, an envelope that rises and holds.
Params basePatch() {
    Params p{};
    p[0] = 64;
    p[1] = 64;
    for (int osc : {2, 8, 14}) {
        p[osc + 2] = 64;
        p[osc + 3] = 64;
    }
    p[27] = 64;
    p[29] = 32;
    p[31] = 64;
    for (int env : {32, 38}) {
        p[env + 0] = 10;
        p[env + 2] = 100;
        p[env + 3] = 64;
        p[env + 4] = 60;
        p[env + 5] = 128;
    }
    return p;
}

void runVoice(benchmark::State& state, const Params& p) {
    dsp::pinFreeRunningCounter(0x13579BDFu);
    std::array<float, dsp::kMaxFrameLength> work{};
    std::array<float, dsp::kMaxFrameLength> second{};
    const dsp::VoiceScratch scratch{work.data(), second.data(), {}};
    std::array<StereoFrame, kBlockFrames> out{};
    dsp::Voice voice;
    voice.reset();
    voice.setup(p.data());
    voice.start(60, 100);
    for (auto _ : state) {
        voice.setup(p.data());
        voice.update();
        voice.render(kBlockFrames, out.data(), scratch);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    reportPerSample(state, kBlockFrames);
    dsp::unpinFreeRunningCounter();
}

void BM_VoiceCheapest(benchmark::State& state) {
    Params p = basePatch();
    p[2] = 1;  // saw
    p[7] = 100;
    p[20] = 1;  // state-variable low-pass
    p[21] = 80;
    p[22] = 40;
    runVoice(state, p);
}
BENCHMARK(BM_VoiceCheapest);

void BM_VoiceMostExpensive(benchmark::State& state) {
    Params p = basePatch();
    p[2] = 1;  p[6] = 30;  p[7] = 60;                // triangle-saw
    p[8] = 2;  p[10] = 52; p[12] = 50; p[13] = 50;   // pulse
    p[14] = 5; p[16] = 76; p[19] = 40;               // phase-modulated sine
    p[20] = 6; p[21] = 90; p[22] = 60;               // ladder low
    p[23] = 7; p[24] = 50; p[25] = 40;               // ladder high
    p[26] = 2;                                       // parallel
    p[28] = 1; p[29] = 48; p[30] = 100; p[31] = 70;  // overdrive
    runVoice(state, p);
}
BENCHMARK(BM_VoiceMostExpensive);

}  // namespace
}  // namespace zimblo::bench
