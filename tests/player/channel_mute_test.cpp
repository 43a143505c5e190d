// The engine's channel mutes, heard through the Player.
#include <gtest/gtest.h>

#include <vector>

#include "player/test_songs.h"

namespace zimblo::player {
namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kFrames = 8192;

std::vector<uint8_t> twoChannelSong() {
    PatchDescription sending = test::sinePatch();
    sending.channel[5] = 128;  // full reverb send
    SongWriter w = test::writerWith({test::sinePatch(), sending});
    w.addTempo(0, 500000);
    w.addProgram(1, 0, 1);
    w.addNoteOn(0, 0, 60, 100);
    w.addNoteOn(1, 0, 67, 100);
    std::vector<uint8_t> effects(kGlobalParamBytes, 0);
    effects[0] = 63;   // an audible reverb: 6 s to −60 dB, undamped, full send
    effects[1] = 128;
    effects[3] = 128;
    effects[4] = effects[5] = 64;
    effects[12] = 127;
    w.setEffectBlock(effects);
    return w.build();
}

struct Heard {
    std::vector<StereoFrame> out;
    StereoFrame meters[2];
};

Heard render(const std::vector<uint8_t>& song, uint32_t mutes) {
    auto player = test::newPlayer();
    player->synth.setMutedChannels(mutes);
    EXPECT_EQ(player->open(song.data(), kRate), 1u);
    player->play(0);  // initialises the Synth again: the mutes stay
    Heard heard;
    heard.out = test::renderBlocks(*player, kFrames, 1000);
    for (int c = 0; c < 2; ++c) player->synth.channelLevel(c, heard.meters[c].left, heard.meters[c].right);
    return heard;
}

TEST(ChannelMute, OnlyTheChannelsOutputIntoTheMasterIsSilenced) {
    const std::vector<uint8_t> song = twoChannelSong();
    const Heard both = render(song, 0);
    const Heard muted = render(song, 1u << 1);
    const Heard alone = render(song, 1u << 0 | 1u << 1);

    // The muted channel's meter reads 0; the other's is unchanged to the bit.
    EXPECT_GT(both.meters[1].left, 0.0f);
    EXPECT_EQ(muted.meters[1].left, 0.0f);
    EXPECT_EQ(muted.meters[1].right, 0.0f);
    EXPECT_EQ(muted.meters[0].left, both.meters[0].left);
    EXPECT_EQ(muted.meters[0].right, both.meters[0].right);
    EXPECT_FALSE(test::sameFrames(muted.out, both.out));

    // With both muted, channel 1's reverb send still reaches the mix.
    EXPECT_GT(test::peak(alone.out), 1e-4f);

    // Bits outside 0..15 are dropped; an empty mask is the engine without mutes.
    auto player = test::newPlayer();
    player->synth.setMutedChannels(0xFFFF0000u);
    EXPECT_EQ(player->synth.mutedChannels, 0u);
    ASSERT_EQ(player->open(song.data(), kRate), 1u);
    player->play(0);
    EXPECT_TRUE(test::sameFrames(test::renderBlocks(*player, kFrames, 4096), both.out));
}

}  // namespace
}  // namespace zimblo::player
