#include "player/end_rule.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "player/output_check.h"
#include "player/test_songs.h"

namespace zimblo::player {
namespace {

constexpr uint32_t kRate = 44100;

std::vector<StereoFrame> constant(uint32_t frames, float value) {
    return std::vector<StereoFrame>(frames, StereoFrame{value, -value});
}

TEST(EndRule, QuietSecondAfterTheEndOrTheLongestTail) {
    EndRule rule;
    rule.setup(kRate);
    // Before the end nothing counts, however quiet.
    const std::vector<StereoFrame> silence = constant(kRate, 0.0f);
    EXPECT_EQ(rule.observe(silence.data(), kRate, false), kRate);
    EXPECT_FALSE(rule.finished);

    // After it: a loud frame starts the quiet second again; just below −90 dBFS is quiet.
    const std::vector<StereoFrame> loud = constant(100, kEndQuietLevel);
    EXPECT_EQ(rule.observe(loud.data(), 100, true), 100u);
    const std::vector<StereoFrame> quiet = constant(kRate, std::nextafter(kEndQuietLevel, 0.0f));
    EXPECT_EQ(rule.observe(quiet.data(), kRate - 1, true), kRate - 1);
    EXPECT_FALSE(rule.finished);
    EXPECT_EQ(rule.observe(quiet.data(), 500, true), 1u);  // the second is complete at its last frame
    EXPECT_TRUE(rule.finished);
    EXPECT_EQ(rule.observe(quiet.data(), 500, true), 0u);

    // A tail that never dies away, or one that is not a number, ends after 30 s.
    for (float value : {0.5f, std::numeric_limits<float>::quiet_NaN()}) {
        rule.reset();
        const std::vector<StereoFrame> noisy = constant(kRate, value);
        uint64_t kept = 0;
        for (int s = 0; s < 31 && !rule.finished; ++s) kept += rule.observe(noisy.data(), kRate, true);
        EXPECT_EQ(kept, 30u * kRate) << value;
    }
}

TEST(EndRule, RenderEndsAtTheSameFrameWhateverTheBlocks) {
    SongWriter w = test::writerWith();
    w.addTempo(0, 500000);
    w.addNoteOn(0, 0, 60, 100);
    w.addNoteOff(0, 64, 60);  // the last event: a quarter note's half, 250 ms
    const std::vector<uint8_t> song = w.build();

    std::vector<std::vector<StereoFrame>> renders;
    for (uint32_t block : {1u, 333u, 4096u, 100000u}) {
        auto player = test::newPlayer();
        ASSERT_EQ(player->open(song.data(), kRate), 1u);
        player->play(0);
        EndRule rule;
        rule.setup(kRate);
        std::vector<StereoFrame> out;
        std::vector<StereoFrame> buffer(block);
        while (!rule.finished) {
            const uint32_t kept = renderUntilEnd(*player, rule, buffer.data(), block);
            out.insert(out.end(), buffer.begin(), buffer.begin() + kept);
            for (uint32_t i = kept; i < block; ++i) ASSERT_EQ(buffer[i].left, 0.0f);
        }
        renders.push_back(out);
    }
    for (const auto& r : renders) EXPECT_TRUE(test::sameFrames(r, renders[0]));
    // The note ends at frame 11025; its release falls below −90 dBFS, then one quiet second.
    const std::vector<StereoFrame>& out = renders[0];
    ASSERT_GT(out.size(), 11025u + kRate);
    EXPECT_LT(out.size(), 11025u + 3 * kRate);
    EXPECT_LT(test::peak(out, out.size() - kRate), kEndQuietLevel);
    EXPECT_GE(test::peak(out, out.size() - kRate - 1, out.size() - kRate), kEndQuietLevel);
}

TEST(OutputCheck, PeakClampAndNonFiniteSamples) {
    OutputCheck check;
    EXPECT_EQ(check.summary(), "peak -inf dBFS, 0 samples at the 16-bit clamp, 0 non-finite samples");
    const float inf = std::numeric_limits<float>::infinity();
    // 32600/32768 and beyond are clamped; just below it is not.
    const StereoFrame frames[] = {{0.5f, -0.25f}, {32600.0f / 32768.0f, -2.0f},
                                  {32599.0f / 32768.0f, std::nanf("")}, {inf, 0.0f}};
    check.observe(frames, 4);
    EXPECT_EQ(check.clampedSamples, 2u);
    EXPECT_EQ(check.nonFiniteSamples, 2u);
    EXPECT_EQ(check.peak, 2.0f);
    EXPECT_FALSE(check.clean());
    EXPECT_EQ(check.summary(), "peak 6.0 dBFS, 2 samples at the 16-bit clamp, 2 non-finite samples");
}

}  // namespace
}  // namespace zimblo::player
