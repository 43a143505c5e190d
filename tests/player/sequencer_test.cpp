// The sequencer: what each step writes, when steps fall, the musical position,
// and songs that break the format's limits.

#include <gtest/gtest.h>

#include "dsp/free_running_counter.h"
#include "player/test_songs.h"

namespace zimblo::player {
namespace {

using Bytes = std::vector<uint8_t>;

class SequencerTest : public ::testing::Test {
protected:
    void SetUp() override { dsp::pinFreeRunningCounter(0x2468ACE1u); }
    void TearDown() override { dsp::unpinFreeRunningCounter(); }

    // Opens the song and sets it playing without a seek, as play(0) does.
    Player& start(const SongWriter& writer) {
        song = test::builtSong(writer);
        player = test::newPlayer();
        EXPECT_EQ(player->open(song.data(), 44100), 1u);
        player->state = PlayState::Playing;
        return *player;
    }

    Bytes step() {  // the stream of one step, terminator included
        player->step();
        const auto end = std::find(player->eventBuffer.begin(), player->eventBuffer.end(), kStreamTerminator);
        return Bytes(player->eventBuffer.begin(), end == player->eventBuffer.end() ? end : end + 1);
    }

    Bytes song;
    std::unique_ptr<Player> player;
};

TEST_F(SequencerTest, LanesAndTracksInFixedOrderUnderRunningStatusThenTheLastEventEnds) {
    SongWriter w = test::writerWith();
    w.addNoteOn(2, 0, 60, 100);
    w.addNoteOn(2, 0, 64, 90);
    w.addController(2, 7, 0, 100);
    w.addPitchBend(2, 0, 0, 64);
    w.addController(2, 1, 0, 5);
    w.addProgram(2, 0, 4);
    w.addProgram(2, 0, 6);
    w.addNoteOff(2, 0, 60);
    w.addNoteOn(0, 0, 48, 100);
    w.addNoteOff(0, 40, 48);
    w.addProgram(1, 0, 2);
    w.addNoteOn(1, 0, 50, 100);
    Player& p = start(w);
    EXPECT_EQ(step(), (Bytes{0x90, 48, 100,                      // track 0
                             0xC1, 2, 0x91, 50, 100,             // track 1
                             0xC2, 4, 0xB2, 1, 5, 7, 100,        // track 2: program, controllers 1 and 7,
                             0xE2, 0, 64, 0x92, 60, 100, 64, 90, 60, 0,  // pitch bend, every note
                             0xFD}));
    EXPECT_EQ(p.nextEventTick, 0u);  // the second program at one tick takes a step of its own
    EXPECT_EQ(step(), (Bytes{0xC2, 6, 0xFD}));
    EXPECT_EQ(p.state, PlayState::Playing);
    EXPECT_EQ(step(), (Bytes{0x90, 48, 0, 0xFD}));
    EXPECT_EQ(p.state, PlayState::Ended);
    p.eventBuffer[0] = 0x55;  // no step is taken once Ended
    p.step();
    EXPECT_EQ(p.eventBuffer[0], 0x55);
}

TEST_F(SequencerTest, PositionTempoAndRunningValues) {
    SongWriter w = test::writerWith();
    w.addTempo(0, 371519);
    w.addTempo(1000, 500000, 6, 8, 24);
    w.addTempo(1200, 400000, 6, 8, 24);
    w.addNoteOn(0, 500, 60, 100);
    w.addNoteOn(0, 1000, 60, 0);
    w.addNoteOn(0, 1000 + 4 * 128 + 5, 62, 100);
    w.addProgram(0, 500, 200);
    w.addProgram(0, 1000, 44);  // stored as 44 − 200 = 100 (mod 256)
    Player& p = start(w);
    EXPECT_EQ(p.scaledSamplesPerQuarter, 44100u * 5000u);  // 120 per minute until the map says otherwise
    using Position = std::vector<uint32_t>;
    auto position = [&] { return Position{p.barCount, p.beatInBar, p.tickInBeat}; };

    EXPECT_EQ(step(), (Bytes{0xFD}));  // the tempo entry at tick 0 alone
    EXPECT_EQ(p.scaledSamplesPerQuarter, 441u * 371519u);
    EXPECT_EQ(step(), (Bytes{0xC0, 200, 0x90, 60, 100, 0xFD}));
    EXPECT_EQ(p.tracks[0][kProgramLane].planes[3 * 2 + 1], 100);
    EXPECT_EQ(position(), (Position{0, 3, 116}));  // 500 ticks: 3 quarter beats and 116 ticks
    EXPECT_EQ(step(), (Bytes{0xC0, 44, 0x90, 60, 0, 0xFD}));
    EXPECT_EQ(p.scaledSamplesPerQuarter, 441u * 500000u);
    EXPECT_EQ(p.thirdByte, 24u);
    // 116 + 500 ticks: 4 beats and 104; beat 7 of 4/4 (still in force) is bar 1, beat 3.
    EXPECT_EQ(position(), (Position{1, 3, 104}));
    EXPECT_EQ(step(), (Bytes{0xFD}));  // a tempo entry between events: a step of its own
    EXPECT_EQ(p.scaledSamplesPerQuarter, 441u * 400000u);
    step();  // 104 + 517: 4 beats and 109; beat 7 of 6/8, 3 beats a bar, is bar 3, beat 1
    EXPECT_EQ(position(), (Position{3, 1, 109}));
}

TEST_F(SequencerTest, OverfullStepLeavesTheRestPendingAtTheSameTick) {
    // A status and 2047 pairs fill 4095 bytes, the terminator the last one; after
    // a 3-byte controller 2045 pairs make 4094: one more would leave no room to terminate.
    for (const bool withController : {false, true}) {
        SongWriter w = test::writerWith();
        if (withController) w.addController(0, 1, 0, 5);
        for (int i = 0; i < 2100; ++i) w.addNoteOn(0, 0, static_cast<uint8_t>(i % 128), 100);
        w.addNoteOn(1, 0, 60, 100);
        w.addNoteOff(1, 7, 60);
        Player& p = start(w);
        Bytes stream = step();
        EXPECT_EQ(stream.size(), kEventBufferBytes - (withController ? 1 : 0));
        EXPECT_EQ(stream.back(), kStreamTerminator);
        EXPECT_EQ(p.cursors[0][kNoteLane].index, withController ? 2045u : 2047u);
        EXPECT_EQ(p.nextEventTick, 0u);
        if (withController) continue;
        stream = step();  // then the other 53 notes and track 1, which did not fit
        ASSERT_EQ(stream.size(), 1u + 2u * 53u + 3u + 1u);
        EXPECT_EQ((Bytes{stream.begin(), stream.begin() + 2}), (Bytes{0x90, 2047 % 128}));
        EXPECT_EQ((Bytes{stream.end() - 4, stream.end()}), (Bytes{0x91, 60, 100, 0xFD}));
        EXPECT_EQ(p.nextEventTick, 7u);
    }
}

TEST_F(SequencerTest, BrokenTimeBasesNeitherDivideByZeroNorHang) {
    // Zero ticks per quarter: every gap is 0 frames, each tick counts as a beat.
    SongWriter zero = test::writerWith();
    zero.setTicksPerQuarter(0);
    zero.addNoteOn(0, 0, 60, 100);
    zero.addNoteOn(0, 5001, 62, 100);
    Player& p = start(zero);
    p.play(0);
    test::renderBlocks(p, 256, 256);
    EXPECT_EQ(p.state, PlayState::Ended);
    EXPECT_EQ(p.barCount * 4 + p.beatInBar, 5001u);
    // 1/8 holds no whole quarter beat, and a denominator 0 no signature: a bar per beat.
    for (uint8_t denominator : {8, 0}) {
        SongWriter odd = test::writerWith();
        odd.addTempo(0, 500000, 1, denominator);
        odd.addNoteOn(0, 0, 60, 100);
        odd.addNoteOff(0, 640, 60);
        Player& q = start(odd);
        step();
        step();
        EXPECT_EQ(q.barCount, 5u);
    }
}

TEST(TicksToSamples, EmbeddedTempoGapsAndTheCarryOnWrap) {
    constexpr uint32_t kScaledSamples = 441u * 371519u;  // 371519 µs per quarter at 44100 Hz
    constexpr uint32_t kScaledTicks = 128u * 10000u;
    constexpr uint32_t kRemainder = kScaledSamples % kScaledTicks;  // of a 1-tick gap
    uint32_t frames = 0;
    for (auto [gap, expected] : {std::pair{1u, 127u}, {94u, 12031u}, {128u, 16383u}, {0u, 0u}}) {
        uint32_t accumulator = 0;
        ticksToSamples(1000 + gap, 1000, kScaledSamples, kScaledTicks, accumulator, frames);
        EXPECT_EQ(frames, expected) << gap;
    }
    // A frame more only when the remainders' sum wraps past 2^32, not when it passes the divisor.
    for (auto [start, expected] : {std::pair{0u - kRemainder, 128u}, {0u - kRemainder - 1, 127u}, {50 * kScaledTicks, 127u}}) {
        uint32_t accumulator = start;
        ticksToSamples(1, 0, kScaledSamples, kScaledTicks, accumulator, frames);
        EXPECT_EQ(frames, expected);
        EXPECT_EQ(accumulator, start + kRemainder);
    }
    // Beyond 32 bits of frames: saturated; no divisor: 0 frames.
    uint32_t accumulator = 0;
    ticksToSamples(0xFFFFFFFF, 0, 0xFFFFFFFF, 1, accumulator, frames);
    EXPECT_EQ(frames, 0xFFFFFFFFu);
    ticksToSamples(100, 0, kScaledSamples, 0, accumulator, frames);
    EXPECT_EQ(frames, 0u);
}

}  // namespace
}  // namespace zimblo::player
