// The transport and render driver: opening, where render splits its blocks,
// play with a seek, stop with a fade, and the 16-bit conversion.

#include <gtest/gtest.h>

#include <limits>
#include <list>

#include "dsp/free_running_counter.h"
#include "player/pcm16.h"
#include "player/test_songs.h"

namespace zimblo::player {
namespace {

using test::peak;
using test::renderBlocks;
using test::sameFrames;
using Frames = std::vector<StereoFrame>;

class PlayerTest : public ::testing::Test {
protected:
    void SetUp() override { dsp::pinFreeRunningCounter(0x13579BDFu); }
    void TearDown() override { dsp::unpinFreeRunningCounter(); }

    // A player open on the song (whose bytes live as long as the test), playing from `start` ms.
    std::unique_ptr<Player> playing(const SongWriter& writer, int32_t start = 0, uint32_t rate = 44100) {
        songs.push_back(test::builtSong(writer));
        auto player = test::newPlayer();
        EXPECT_EQ(player->open(songs.back().data(), rate), 1u);
        if (start >= 0) player->play(start);
        return player;
    }

    std::list<std::vector<uint8_t>> songs;
};

// Frames from the first of these ticks to each, by ticksToSamples.
std::vector<uint64_t> framesAt(const std::vector<uint32_t>& ticks, uint32_t scaledSamples) {
    std::vector<uint64_t> frames = {0};
    uint32_t accumulator = 0, gap = 0;
    for (size_t i = 1; i < ticks.size(); ++i) {
        ticksToSamples(ticks[i], ticks[i - 1], scaledSamples, 1280000u, accumulator, gap);
        frames.push_back(frames.back() + gap);
    }
    return frames;
}

TEST_F(PlayerTest, OpenLeavesThePlayerStoppedAndRefusesWhatItCannotPlay) {
    SongWriter w = test::writerWith();
    w.addNoteOn(0, 30, 60, 100);
    auto player = playing(w, -1, 96468);  // the fastest rate whose control frame fits 280 frames
    EXPECT_EQ(player->state, PlayState::Stopped);
    EXPECT_EQ(player->nextEventTick, 30u);
    Frames block(64, StereoFrame{0.25f, -0.5f});
    player->render(block.data(), 64, 0);
    EXPECT_EQ(peak(block), 0.0f);
    player->render(nullptr, 64, 0);

    std::string error;
    EXPECT_EQ(player->openChecked(songs.back().data(), songs.back().size(), 96469, &error), 0u);
    EXPECT_EQ(error, "sample rate 96469 Hz is not supported: its control frame would exceed 280 frames");
    EXPECT_EQ(player->isOpen, 1u);
    EXPECT_EQ(player->open(songs.back().data(), 96469), 0u);
    EXPECT_EQ(player->isOpen, 0u);
    SongWriter huge;
    huge.setEffectBlock(std::vector<uint8_t>(16385, 0));
    const std::vector<uint8_t> refused = huge.build();
    EXPECT_EQ(player->open(refused.data(), 44100), 0u);
    player->play(0);  // closed: nothing happens
    EXPECT_EQ(player->state, PlayState::Stopped);
}

TEST_F(PlayerTest, BlockSizeChangesNeitherTheOutputNorWhereStepsFall) {
    SongWriter song = test::writerWith();  // a note and a controller change on every tick
    song.addTempo(0, 371519);
    for (uint32_t t = 0; t < 160; ++t) {
        if (t > 0) song.addNoteOff(0, t, static_cast<uint8_t>(48 + (t - 1) % 24));
        song.addNoteOn(0, t, static_cast<uint8_t>(48 + t % 24), static_cast<uint8_t>(60 + t % 60));
        song.addController(0, 7, t, static_cast<uint8_t>(90 + t % 30));
    }
    auto reference = playing(song);
    const Frames expected = renderBlocks(*reference, 30000, 1);
    EXPECT_EQ(reference->currentTick, 159u);
    for (uint32_t block : {2u, 7u, 128u, 1000u, 4096u, 30000u})
        EXPECT_TRUE(sameFrames(renderBlocks(*playing(song), 30000, block), expected)) << "block " << block;

    // Step by step: the first (at the first event's tick, 300) before the first frame,
    // each later one at the end of the call whose last frame brings the count-down to 0.
    const std::vector<uint32_t> ticks = {300, 301, 303, 394, 522, 523, 651};
    SongWriter w = test::writerWith();
    w.addTempo(300, 371519);
    for (uint32_t t : ticks) w.addNoteOn(0, t, static_cast<uint8_t>(40 + t % 50), 90);
    auto player = playing(w);
    StereoFrame frame;
    player->render(&frame, 1, 0);
    std::vector<uint64_t> stepFrames = {0};
    EXPECT_EQ(player->currentTick, 300u);
    for (uint64_t rendered = 1, lastTick = 300; rendered < 50000; ++rendered) {
        if (player->currentTick != lastTick) stepFrames.push_back(rendered);
        lastTick = player->currentTick;
        player->render(&frame, 1, 0);
    }
    EXPECT_EQ(stepFrames, framesAt(ticks, 441u * 371519u));

    // A block that ends exactly on the next event takes its step before returning.
    player->play(0);
    Frames block(128);
    player->render(block.data(), 100, 0);
    EXPECT_EQ(player->samplesToNextEvent, 27u);  // ticks 300 → 301: 127 frames
    player->render(block.data(), 27, 0);
    EXPECT_EQ(player->currentTick, 301u);
    EXPECT_EQ(player->samplesToNextEvent, 255u);  // the next gap, 2 ticks
}

TEST_F(PlayerTest, SeekSendsEveryEarlierEventWithoutRendering) {
    // Program 1 at tick 10 and a note at 20 held to 1000, played from 390 ms
    // (17199 frames): the seek sends both and renders nothing, so the output
    // starts as if both had come at tick 0.
    const std::vector<PatchDescription> patches = {test::sinePatch(), test::sampleAndHoldPatch()};
    SongWriter seeked = test::writerWith(patches), fromZero = test::writerWith(patches);
    seeked.addProgram(0, 10, 1);
    seeked.addNoteOn(0, 20, 57, 100);
    seeked.addNoteOff(0, 1000, 57);
    fromZero.addProgram(0, 0, 1);
    fromZero.addNoteOn(0, 0, 57, 100);
    fromZero.addNoteOff(0, 2000, 57);
    auto player = playing(seeked, 390), reference = playing(fromZero);
    EXPECT_EQ(player->currentTick, 20u);
    // The first step stands at frame 0 with tick 10; what is left runs from the target to tick 1000.
    ASSERT_EQ(player->samplesToNextEvent, framesAt({10, 20, 1000}, 44100u * 5000u)[2] - 17199u);
    const uint32_t frames = player->samplesToNextEvent;
    const Frames out = renderBlocks(*player, frames, 4096);
    EXPECT_GT(peak(out), 0.01f);
    EXPECT_TRUE(sameFrames(out, renderBlocks(*reference, frames, 4096)));

    // Beyond the end: every event sent, Ended, and a held note keeps sounding.
    SongWriter held = test::writerWith();
    held.addNoteOn(0, 0, 60, 100);
    held.addProgram(0, 50, 0);
    auto ended = playing(held, 60000);
    EXPECT_EQ(ended->state, PlayState::Ended);
    EXPECT_EQ(ended->currentTick, 50u);
    EXPECT_GT(peak(renderBlocks(*ended, 8192, 1000), 4096), 0.01f);
    player->play(-500);  // before the beginning is the beginning
    EXPECT_EQ(player->state, PlayState::Playing);
    EXPECT_EQ(player->samplesToNextEvent, 0u);
}

TEST_F(PlayerTest, FadeOverOneSecondScalesEachFrameThenStops) {
    SongWriter w = test::writerWith();
    w.addNoteOn(0, 0, 60, 100);
    w.addNoteOff(0, 100000, 60);  // keeps the song Playing through the fade
    auto player = playing(w, -1);
    // Stopped, with mix: the caller's frames of 1 pass through the fade alone.
    const float step = 1.0f / 44100.0f;
    EXPECT_EQ(player->stop(1000), 44100u);
    Frames levels(12 * 4096, StereoFrame{1.0f, 1.0f});
    for (size_t done = 0; done < levels.size(); done += 4096) player->render(&levels[done], 4096, 1);
    // The first frame keeps the starting level; each later one is one float step lower, never below 0.
    ASSERT_EQ(levels.front().left, 1.0f);
    size_t lastSounding = 0;
    for (size_t i = 1; i < levels.size(); ++i) {
        ASSERT_EQ(levels[i].left, std::max(levels[i - 1].left - step, 0.0f)) << i;
        if (levels[i].left > 0.0f) lastSounding = i;
    }
    EXPECT_NEAR(static_cast<double>(lastSounding), 44100.0, 44.1);  // rounding drift of the running level

    // Playing: still Playing until the block in which the level reaches 0, silent from there.
    player->play(0);
    renderBlocks(*player, 1000, 1000);
    EXPECT_EQ(player->stop(1000), 44100u);
    Frames out;
    while (player->state != PlayState::Stopped && out.size() < 60000) {
        const Frames piece = renderBlocks(*player, 4096, 4096);
        out.insert(out.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(out.size(), (lastSounding / 4096 + 1) * 4096);
    EXPECT_GT(peak(out, lastSounding - 100, lastSounding + 1), 0.0f);
    EXPECT_EQ(peak(out, lastSounding + 1), 0.0f);
    EXPECT_EQ(peak(renderBlocks(*player, 4096, 4096)), 0.0f);

    // Fades of no length (10 µs is 0.441 frames), of negative length, or from level 0 stop at once.
    player->timeUnitsPerSecond = 1000000;
    for (auto [time, level] : {std::pair{10, 1.0f}, {-100, 1.0f}, {500000, 0.0f}}) {
        player->play(0);
        player->fadeLevel = level;
        EXPECT_EQ(player->stop(time), 0u);
        EXPECT_EQ(player->state, PlayState::Stopped);
        EXPECT_EQ(player->fadeStep, 0.0f);
    }
    player->close();
    EXPECT_EQ(player->stop(500), 0u);
}

TEST_F(PlayerTest, SilentStatesMixingAndTheCallback) {
    SongWriter w = test::writerWith();
    w.addNoteOn(0, 0, 60, 100);
    auto player = playing(w, -1), twin = playing(w);
    const Frames given(300, StereoFrame{0.25f, -0.125f});
    Frames block = given;
    player->render(block.data(), 300, 1);  // Stopped, mixing: left as it was
    EXPECT_TRUE(sameFrames(block, given));
    player->play(0);
    const Frames alone = renderBlocks(*twin, 300, 300);
    player->render(block.data(), 300, 1);  // Playing, mixing: the synth added in
    for (size_t i = 0; i < block.size(); ++i) EXPECT_EQ(block[i].left, 0.25f + alone[i].left);
    Frames viaCallback(500, StereoFrame{9.0f, 9.0f});
    Player::renderCallback(player.get(), viaCallback.data(), 500);
    EXPECT_TRUE(sameFrames(viaCallback, renderBlocks(*twin, 500, 500)));
    player->close();
    EXPECT_EQ(player->state, PlayState::Stopped);
    player->render(block.data(), 300, 0);
    EXPECT_EQ(peak(block), 0.0f);
}

TEST(Pcm16, ConvertsAsTheAudioOutputDoes) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float samples[] = {1.0f, -1.0f, 0.5f, 0.5f / 32768, 1.5f / 32768, -2.5f / 32768, 32599.0f / 32768,
                             1e10f, -1e10f, nan};
    const int16_t expected[] = {32600, -32600, 16384, 0, 2, -2, 32599, -32600, -32600, -32600};
    int16_t pcm[10];
    convertToPcm16(samples, pcm, 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(pcm[i], expected[i]) << samples[i];
    EXPECT_EQ(toPcm16(0.5f, 16384.0f), 8192);
}

}  // namespace
}  // namespace zimblo::player
