// End to end: MIDI files written here (type 0 and 1, a drum track, tempo
// changes, pedal and controllers) compile with the one command
// `zimblo-songc FILE.mid -o FILE.song`, and zimblo-render plays the song with
// no sample at the clamp and none non-finite, as long as the MIDI file lasts
// (within 1 s), with every track that holds notes audible on its own meter.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "compiler.h"
#include "song_measure.h"
#include "songc/midi_bytes.h"
#include "songc/songc_test_util.h"

namespace zimblo::songc {
namespace {

using test::midiFile;
using test::MidiTrackBytes;
using test::ScratchDir;

constexpr int kDivision = 96;
constexpr double kAudibleMeter = 0.01;  // -40 dBFS

// Type 1: 4 quarters at 120, 4 at 150, 10 at 100 per minute (9.6 s, the last
// two a rest before the drum track's end); piano
// chords under the pedal, a bass, strings with volume, expression and pan,
// and a drum track with kick, snare, hats, crash, toms and congas.
std::vector<uint8_t> typeOneFile() {
    MidiTrackBytes conductor, piano, bass, strings, drums;
    conductor.tempo(0, 500000).tempo(4 * kDivision, 400000).tempo(4 * kDivision, 600000);
    piano.program(0, 0, 0);
    for (int bar = 0; bar < 4; ++bar) {
        piano.cc(0, 0, 64, 127);
        for (int n : {60, 64, 67}) piano.on(0, 0, n + bar * 2, 90);
        for (int n : {60, 64, 67}) piano.off(n == 60 ? 2 * kDivision : 0, 0, n + bar * 2);
        piano.cc(2 * kDivision, 0, 64, 0);
    }
    bass.program(0, 1, 33);
    for (int q = 0; q < 16; ++q) bass.on(0, 1, q % 2 ? 43 : 36, 100).off(kDivision - 8, 1, q % 2 ? 43 : 36).event(8, {0xB1, 0, 0});
    strings.program(0, 2, 48).cc(0, 2, 7, 110).cc(0, 2, 10, 30).cc(0, 2, 11, 100);
    strings.on(0, 2, 72, 80).on(0, 2, 76, 80).off(8 * kDivision, 2, 72).off(0, 2, 76);
    strings.cc(0, 2, 11, 127).on(0, 2, 74, 90).off(8 * kDivision, 2, 74);
    for (int e = 0; e < 32; ++e) {
        const int note = e % 8 == 0 ? 49 : e % 4 == 2 ? 38 : e % 2 == 0 ? 36 : e % 8 == 7 ? 45 : e % 8 == 5 ? 63 : 42;
        drums.on(e == 0 ? 0 : kDivision / 2 - 4, 9, note, 100).off(4, 9, note);
    }
    return midiFile(1, kDivision, {conductor.chunk(), piano.chunk(), bass.chunk(), strings.chunk(), drums.chunk(2 * kDivision)});
}

// Type 0: one tempo (450000 us), 8 quarters (3.6 s): a flute over kick and hats.
std::vector<uint8_t> typeZeroFile() {
    MidiTrackBytes t;
    t.tempo(0, 450000).program(0, 0, 73);
    for (int q = 0; q < 8; ++q)
        t.on(0, 0, 72 + (q % 4) * 2, 100).on(0, 9, q % 2 ? 42 : 36, 110).off(kDivision, 0, 72 + (q % 4) * 2).off(0, 9, q % 2 ? 42 : 36);
    return midiFile(0, kDivision, {t.chunk()});
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void checkPlays(const std::vector<uint8_t>& midi, double midiSeconds, int tracksWithNotes) {
    ScratchDir dir;
    writeBytes(dir.file("in.mid"), midi);
    const test::RunResult compile =
        test::run(std::string(ZIMBLO_SONGC_BIN) + " " + dir.file("in.mid") + " -o " + dir.file("out.song"), dir);
    ASSERT_EQ(compile.exitCode, 0) << compile.err;

    const double seconds = midiSeconds + 3.0;
    const test::RunResult render = test::run(std::string(ZIMBLO_RENDER_BIN) + " --song " + dir.file("out.song") + " --seconds " +
                                                 std::to_string(seconds) + " --quiet -o " + dir.file("out.f32"),
                                             dir);
    ASSERT_EQ(render.exitCode, 0) << render.err;
    const std::vector<uint8_t> raw = test::readBytes(dir.path() / "out.f32");
    size_t clamped = 0, nonFinite = 0;
    float peak = 0.0f;
    for (size_t i = 0; i + 4 <= raw.size(); i += 4) {
        float v;
        std::memcpy(&v, &raw[i], sizeof v);
        if (!std::isfinite(v)) ++nonFinite;
        else if (std::fabs(v) >= 1.0f) ++clamped;
        else peak = std::max(peak, std::fabs(v));
    }
    EXPECT_EQ(clamped, 0u);
    EXPECT_EQ(nonFinite, 0u);
    EXPECT_GT(peak, 0.05f);

    const SongMeasure m = measureSong(test::readBytes(dir.path() / "out.song"), 2.0);
    EXPECT_NEAR(static_cast<double>(m.framesToEnd) / kMeasureRate, midiSeconds, 1.0);
    int audible = 0;
    const std::string listing = test::run(std::string(ZIMBLO_SONGC_BIN) + " --dump " + dir.file("out.song"), dir).out;
    for (int t = 0; t < 16; ++t) {
        const bool hasNotes = !test::trackLines(listing, t).empty() &&
                              test::squeezed(listing).find(" track " + std::to_string(t) + ": notes ") != std::string::npos;
        if (!hasNotes) continue;
        EXPECT_GT(m.channelPeak[t], kAudibleMeter) << "track " << t << " is not heard";
        ++audible;
    }
    EXPECT_EQ(audible, tracksWithNotes);
}

TEST(MidiPlay, TypeOneWithDrumsAndTempoChangesPlaysInOneCommand) {
    // Piano, bass, strings, and the drums split into kick (track 9), snare, toms, hats, cymbals, hand.
    checkPlays(typeOneFile(), 9.6, 3 + 6);
}

TEST(MidiPlay, TypeZeroPlaysInOneCommand) { checkPlays(typeZeroFile(), 3.6, 1 + 2); }

TEST(MidiPlay, AMixOverFullScaleGetsAnAutomaticGain) {
    // Fifteen channels of brass and organ chords at full velocity and volume: far over full scale.
    MidiTrackBytes t;
    for (int channel = 0; channel < 16; ++channel) {
        if (channel == 9) continue;
        t.program(0, channel, channel % 2 ? 61 : 18).cc(0, channel, 7, 127);
        for (int n : {48, 55, 60, 64, 67}) t.on(0, channel, n + channel % 3, 127);
    }
    t.cc(2 * kDivision, 0, 123, 0);
    for (int channel = 1; channel < 16; ++channel) t.cc(0, channel, 123, 0);
    const CompileResult loud = compileMidi(midiFile(0, kDivision, {t.chunk()}), "loud.mid");
    ASSERT_FALSE(loud.warnings.empty());
    EXPECT_NE(loud.warnings.back().find("loud.mid: the mix peaks at +"), std::string::npos) << loud.warnings.back();
    const SongMeasure m = measureSong(loud.song, 2.0);
    EXPECT_EQ(m.clampedSamples, 0u);
    EXPECT_GT(m.peak, 0.5f);
    EXPECT_LT(m.peak, 0.95f);
    // Without the measurement the same song clips.
    EXPECT_GT(measureSong(compileMidi(midiFile(0, kDivision, {t.chunk()}), "loud.mid", false).song, 2.0).clampedSamples, 0u);
    EXPECT_EQ(automaticGainSteps(0.9f), 0);
    EXPECT_EQ(automaticGainSteps(2.0f), 18);  // 20·log10(2/0.944) = 6.52 dB, 17.4 steps of 0.375 dB
}

}  // namespace
}  // namespace zimblo::songc
