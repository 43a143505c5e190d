// Real-time factor of a busy song: ten channels, about thirty voices at once, chorus, reverb and
// delay in use, rendered through the Player exactly as the audio output would render it.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "dsp/stereo_frame.h"
#include "player/player.h"
#include "player/song_writer.h"
#include "synth/synth.h"

namespace zimblo::bench {
namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kBlockFrames = 4096;
constexpr int kTracks = 10;
constexpr uint32_t kTicksPerQuarter = 128;
constexpr uint32_t kSongBars = 64;  // 2 minutes at 128 quarters per minute

// A two-oscillator voice through a state-variable low-pass, with a velocity route to the
// amplitude envelope's gain and lane 7 as the channel volume; sends to chorus, reverb and delay.
player::PatchDescription busyPatch(int index) {
    player::PatchDescription patch;
    auto& v = patch.voice;
    v[0] = static_cast<uint8_t>(32 + 8 * index);   // pan, spread across the channels
    v[1] = 64;                                     // voice transpose
    v[2] = 1;  v[4] = 64; v[5] = 70; v[6] = 20; v[7] = 60;   // osc 1: saw, slightly sharp
    v[8] = 2;  v[10] = 52; v[11] = 58; v[12] = 64; v[13] = 40;  // osc 2: square an octave down
    v[20] = 1; v[21] = static_cast<uint8_t>(70 + 4 * index); v[22] = 40;  // filter 1 low-pass
    v[26] = 0;                                      // filter 1 only
    v[27] = 64;
    v[32] = 10; v[33] = 60; v[34] = 90; v[35] = 62; v[36] = 70; v[37] = 100;  // amplitude envelope
    v[38] = 0;  v[39] = 50; v[40] = 40; v[41] = 64; v[42] = 60; v[43] = 128;  // envelope 2
    v[44] = 3;  v[47] = 60; v[50] = 20;             // LFO 1 sine on the cutoff
    v[58] = 1;                                      // restart phases at note start
    auto& c = patch.channel;
    c[0] = 100;                            // volume
    c[5] = 40;                             // reverb send
    c[6] = index % 3 == 0 ? 30 : 0;        // delay send on every third channel
    c[10] = 32; c[11] = 128; c[12] = 64;   // channel shaper neutral (off)
    c[13] = index % 2 == 0 ? 90 : 64;      // chorus on every other channel
    c[14] = 64; c[15] = 20; c[16] = 24; c[17] = 40; c[18] = 30; c[19] = 96;
    c[24] = 90; c[28] = 64;                // dynamics off (kind 0), neutral gains
    patch.voiceLimit = 4;
    patch.routes = {{0, 100, 37}, {10, 80, 21}, {7, 110, 59}};
    return patch;
}

std::vector<uint8_t> busySong() {
    player::SongWriter writer;
    writer.setTicksPerQuarter(kTicksPerQuarter);
    writer.addTempo(0, 468750);  // 128 quarters per minute
    // Reverb, global delay, tone filter, master dynamics (RMS, gentle).
    writer.setEffectBlock({64, 100, 20, 100, 80, 70, 40, 48, 10, 20, 64, 0, 127,
                           2, 0, 0, 0, 90, 20, 10, 40, 64});
    for (int t = 0; t < kTracks; ++t) writer.addPatch(busyPatch(t));

    // Each track plays three-note chords every half note, held for a dotted half: with the
    // releases that keeps about three voices per channel sounding.
    constexpr std::array<int, 4> kRoots = {48, 53, 55, 50};
    for (int t = 0; t < kTracks; ++t) {
        writer.addProgram(t, 0, static_cast<uint8_t>(t));
        writer.addController(t, 7, 0, 110);
        const int octave = 12 * (t % 3) - 12;
        for (uint32_t bar = 0; bar < kSongBars; ++bar) {
            for (uint32_t half = 0; half < 2; ++half) {
                const uint32_t tick = (bar * 4 + half * 2) * kTicksPerQuarter + static_cast<uint32_t>(t);
                const int root = kRoots[(bar / 2) % kRoots.size()] + octave;
                for (int interval : {0, 4, 7}) {
                    const auto note = static_cast<uint8_t>(root + interval + (t % 2) * 12);
                    writer.addNoteOn(t, tick, note, static_cast<uint8_t>(80 + 4 * t));
                    writer.addNoteOff(t, tick + 3 * kTicksPerQuarter / 2, note);
                }
            }
        }
    }
    return writer.build();
}

void BM_BusySongRealTimeFactor(benchmark::State& state) {
    const std::vector<uint8_t> song = busySong();
    auto player = std::make_unique<player::Player>();
    player->isOpen = 0;
    player->timeUnitsPerSecond = 1000;
    player->openChecked(song.data(), song.size(), kRate, nullptr);
    player->play(0);
    std::vector<StereoFrame> block(kBlockFrames);

    uint64_t voiceSum = 0;
    uint64_t voiceSamples = 0;
    for (auto _ : state) {
        // One second of audio per iteration, in the renderer's block size.
        for (uint32_t done = 0; done < kRate; done += kBlockFrames) {
            const uint32_t count = std::min(kBlockFrames, kRate - done);
            player->render(block.data(), count, 0);
            benchmark::DoNotOptimize(block.data());
            std::array<uint32_t, 17> counts{};
            player->synth.voiceCounts(counts.data());
            voiceSum += counts[16];
            ++voiceSamples;
        }
        if (player->state != player::PlayState::Playing) {
            state.PauseTiming();
            player->play(0);
            state.ResumeTiming();
        }
    }
    // Seconds of audio per second of processing time.
    state.counters["realtime_factor"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["voices"] = static_cast<double>(voiceSum) / static_cast<double>(voiceSamples);
}
BENCHMARK(BM_BusySongRealTimeFactor)->Unit(benchmark::kMillisecond)->MinTime(5.0);

}  // namespace
}  // namespace zimblo::bench
