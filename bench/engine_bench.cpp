// The engine's worst case: 64 voices of the most expensive patch on all 16
// channels, every channel strip and the global effects working. One iteration
// is one control frame (128 frames at 44100 Hz, 2.9 ms of audio).
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

#include "bench_util.h"
#include "dsp/free_running_counter.h"
#include "synth/synth.h"

namespace zimblo::bench {
namespace {

using synth::ModRoute;

// Three oscillators (box-filtered saw and pulse, phase-modulated sine), two
// ladder filters in parallel, overdrive; on the channel: chorus, stereo RMS
// dynamics with lookahead, bass shelf, shaper as a ladder filter; sends to the
// reverb and the delay. LFO 1 sweeps the cutoffs, velocity sets the level,
// lane 7 the volume, as in a song's patches.
// With ladders false the same patch uses state-variable filters instead, to
// show how much of the worst case the ladders' serial recursion costs.
std::vector<uint8_t> heaviestBank(bool ladders) {
    std::array<uint8_t, synth::kVoiceParamCount> v{};
    v[0] = 40;  v[1] = 64;
    v[2] = 1;   v[3] = 0; v[4] = 64; v[5] = 70; v[6] = 30;  v[7] = 60;   // saw
    v[8] = 2;   v[9] = 0; v[10] = 52; v[11] = 60; v[12] = 50; v[13] = 50; // pulse
    v[14] = 5;  v[15] = 0; v[16] = 76; v[17] = 64; v[18] = 0; v[19] = 40; // phase-modulated sine
    v[20] = ladders ? 6 : 1;  v[21] = 90; v[22] = 60;   // ladder low (state-variable low)
    v[23] = ladders ? 7 : 3;  v[24] = 50; v[25] = 40;   // ladder high (state-variable high)
    v[26] = 2;  v[27] = 64;               // parallel
    v[28] = 1;  v[29] = 48; v[30] = 100; v[31] = 70;  // overdrive
    v[32] = 10; v[33] = 64; v[34] = 100; v[35] = 64; v[36] = 60; v[37] = 100;
    v[38] = 20; v[39] = 70; v[40] = 60; v[41] = 64; v[42] = 60; v[43] = 128;
    v[44] = 3;  v[47] = 70; v[49] = 2; v[50] = 40;   // LFO 1 sine
    v[51] = 1;  v[54] = 50; v[56] = 0; v[57] = 20;   // LFO 2 triangle
    v[58] = 1;

    std::array<uint8_t, synth::kChannelParamCount> c{};
    c[0] = 100; c[5] = 60; c[6] = 40; c[7] = 0; c[8] = 40;
    c[9] = ladders ? 10 : 5; c[10] = 32; c[11] = 100; c[12] = 30;         // shaper: ladder (or SVF) low
    c[13] = 90; c[14] = 70; c[15] = 20; c[16] = 24; c[17] = 60; c[18] = 40; c[19] = 96;  // chorus
    c[20] = 2; c[21] = 1; c[22] = 0; c[23] = 20; c[24] = 80; c[25] = 64; c[26] = 20; c[27] = 40; c[28] = 64;

    const ModRoute routes[] = {{10, 90, 21}, {11, 80, 24}, {0, 127, 37}, {7, 127, 59}, {9, 70, 6}};

    std::vector<uint8_t> bank{4, 0, 0, 0};
    bank.insert(bank.end(), v.begin(), v.end());
    bank.insert(bank.end(), c.begin(), c.end());
    bank.push_back(4);  // voice limit: 4 voices × 16 channels
    bank.push_back(static_cast<uint8_t>(std::size(routes)));
    for (const ModRoute& r : routes) {
        bank.push_back(r.source);
        bank.push_back(r.amount);
        bank.push_back(r.destination);
    }
    return bank;
}

// Reverb long and bright, global delay on, tone filter active, master RMS dynamics.
constexpr uint8_t kGlobals[synth::kGlobalParamCount] = {
    100, 110, 20, 90,                 // reverb
    100, 80, 40, 50, 60, 30, 80,      // delay
    2, 120,                           // tone filter
    2, 1, 0, 10, 90, 64, 10, 40, 64,  // master dynamics
};

synth::Synth gSynth;

void BM_EngineWorstCase(benchmark::State& state) {
    const ScopedSimdPath path(state, 1);
    if (!path.ok()) return;
    dsp::pinFreeRunningCounter(0x2468ACE0u);
    static const std::vector<uint8_t> ladderBank = heaviestBank(true);
    static const std::vector<uint8_t> stateVariableBank = heaviestBank(false);
    const std::vector<uint8_t>& bank = state.range(0) != 0 ? ladderBank : stateVariableBank;
    gSynth.init(synth::PatchBank{bank.data(), static_cast<uint32_t>(bank.size())}, 44100);
    gSynth.setGlobalParams(kGlobals);

    std::vector<uint8_t> stream;
    for (int channel = 0; channel < synth::kChannelCount; ++channel) {
        stream.push_back(static_cast<uint8_t>(0x90 + channel));
        for (int k = 0; k < 4; ++k) {
            stream.push_back(static_cast<uint8_t>(40 + 3 * channel + 7 * k));
            stream.push_back(static_cast<uint8_t>(70 + 10 * k));
        }
    }
    stream.push_back(0xFD);
    gSynth.processEvents(stream.data());

    std::array<StereoFrame, kBlockFrames> out{};
    for (int block = 0; block < 4; ++block) gSynth.render(&out[0].left, kBlockFrames, nullptr, 0);  // past the attacks
    uint32_t counts[17];
    gSynth.voiceCounts(counts);
    if (counts[16] != 64) state.SkipWithError("not every voice is playing");

    for (auto _ : state) {
        gSynth.render(&out[0].left, kBlockFrames, nullptr, 0);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    reportPerSample(state, kBlockFrames);
    dsp::unpinFreeRunningCounter();
}
// Ladders 1: the worst case (ladder filters); 0: state-variable filters. Path: 0 scalar (the
// reference), 1 SSE2, 2 AVX2, 3 AVX-512.
BENCHMARK(BM_EngineWorstCase)
    ->ArgNames({"ladders", "path"})
    ->ArgsProduct({{1, 0}, {0, 1, 2, 3}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zimblo::bench
