// The player page's C interface, natively: what it renders is what a Player renders,
// its position and song length agree with the sequencer, and a refused song leaves
// nothing playing.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "web/web_player.h"
#include "dsp/free_running_counter.h"
#include "player/player.h"
#include "player/test_songs.h"

namespace zimblo::player {
namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kSeed = 0x5eed1234;
constexpr uint32_t kQuantum = 128;  // frames the audio thread asks for at a time

// Two tempos: tick 0..256 at 500000 µs per quarter, then 250000; the last event at
// tick 512 of 128 per quarter, so the song lasts 2 · 500 + 2 · 250 = 1500 ms.
std::vector<uint8_t> twoTempoSong() {
    SongWriter w = test::writerWith();
    w.addTempo(0, 500000);
    w.addTempo(256, 250000);
    w.addNoteOn(0, 0, 69, 100);
    w.addNoteOff(0, 500, 69);
    w.addNoteOn(0, 510, 72, 100);
    w.addNoteOff(0, 512, 72);
    return w.build();
}

uint32_t openBytes(const std::vector<uint8_t>& song, uint32_t rate = kRate) {
    uint8_t* buffer = zimblo_song_buffer(static_cast<uint32_t>(song.size()));
    if (buffer == nullptr) return 0;
    std::memcpy(buffer, song.data(), song.size());
    return zimblo_open_buffer(static_cast<uint32_t>(song.size()), rate);
}

bool silentAndStill() {
    const float* frames = zimblo_render(kQuantum);
    for (uint32_t i = 0; i < 2 * kQuantum; ++i)
        if (frames[i] != 0.0f) return false;
    const float* levels = zimblo_levels();
    for (uint32_t i = 0; i < kWebMeterValues; ++i)
        if (levels[i] != 0.0f) return false;
    return zimblo_position_ms() == 0.0;
}

TEST(WebPlayer, RendersWhatThePlayerRendersFromAnyStart) {
    const std::vector<uint8_t> song = twoTempoSong();
    constexpr uint32_t kQuanta = 200;
    for (int32_t startMs : {0, 700}) {
        SCOPED_TRACE(startMs);
        dsp::pinFreeRunningCounter(kSeed);
        auto reference = std::make_unique<Player>();
        ASSERT_TRUE(reference->openChecked(song.data(), song.size(), kRate, nullptr));
        reference->play(startMs);
        std::vector<StereoFrame> expected(kQuanta * kQuantum);
        reference->render(expected.data(), static_cast<uint32_t>(expected.size()), 0);

        zimblo_pin_seed(kSeed);
        ASSERT_EQ(openBytes(song), 1u);
        EXPECT_STREQ(zimblo_message(), "");
        zimblo_play(startMs);
        for (uint32_t q = 0; q < kQuanta; ++q) {
            const float* frames = zimblo_render(kQuantum);
            ASSERT_EQ(std::memcmp(frames, &expected[q * kQuantum], kQuantum * sizeof(StereoFrame)), 0)
                << "quantum " << q;
        }
        EXPECT_DOUBLE_EQ(zimblo_position_ms(), startMs + kQuanta * kQuantum * 1000.0 / kRate);
        const float* levels = zimblo_levels();
        EXPECT_GT(levels[0], 0.0f);                    // channel 0 sounds
        EXPECT_EQ(levels[2], 0.0f);                    // channel 1 does not
        EXPECT_GT(levels[kWebMeterValues - 2], 0.0f);  // nor is the master silent
    }
}

TEST(WebPlayer, LengthFollowsTheTempoMapToTheLastEvent) {
    ASSERT_EQ(openBytes(twoTempoSong()), 1u);
    EXPECT_DOUBLE_EQ(zimblo_length_ms(), 1500.0);
    // The sequencer agrees: from 1400 ms the last event comes 100 ms later.
    zimblo_play(1400);
    uint32_t quanta = 0;
    while (zimblo_state() == 2 && quanta < 1000) {
        zimblo_render(kQuantum);
        ++quanta;
    }
    EXPECT_EQ(zimblo_state(), 1u);  // ended: the tails go on
    EXPECT_NEAR(zimblo_position_ms(), 1500.0, 1000.0 * kQuantum / kRate);
    // Stopping: silence, still meters, back at the start.
    zimblo_stop();
    EXPECT_EQ(zimblo_state(), 0u);
    EXPECT_TRUE(silentAndStill());
}

TEST(WebPlayer, ARefusedSongLeavesNothingPlaying) {
    ASSERT_EQ(zimblo_open_embedded(kRate), 1u);
    EXPECT_GT(zimblo_length_ms(), 60000.0);
    zimblo_play(0);
    zimblo_render(kQuantum);

    std::vector<uint8_t> truncated = twoTempoSong();
    truncated.resize(40);
    EXPECT_EQ(openBytes(truncated), 0u);
    EXPECT_EQ(std::string(zimblo_message()), checkSong(truncated.data(), truncated.size()));
    EXPECT_EQ(zimblo_state(), 0u);
    EXPECT_EQ(zimblo_length_ms(), 0.0);
    zimblo_play(0);  // nothing to play
    EXPECT_EQ(zimblo_state(), 0u);
    EXPECT_TRUE(silentAndStill());

    // A rate the engine cannot run is refused with the loader's reason.
    EXPECT_EQ(zimblo_open_embedded(192000), 0u);
    EXPECT_NE(std::string(zimblo_message()).find("192000 Hz is not supported"), std::string::npos);

    // A good song opens again afterwards.
    ASSERT_EQ(openBytes(twoTempoSong()), 1u);
    EXPECT_STREQ(zimblo_message(), "");
    zimblo_play(0);
    EXPECT_EQ(zimblo_state(), 2u);
}

}  // namespace
}  // namespace zimblo::player
