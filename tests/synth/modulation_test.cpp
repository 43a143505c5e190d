// Patch application, modulation routes and the clamp.
#include "synth_fixture.h"

#include <cmath>

namespace zimblo::synth::test {
namespace {

constexpr uint8_t kVelocity = 0;
constexpr uint8_t kLane1 = 1;
constexpr uint8_t kLane2 = 2;
constexpr uint8_t kLane7 = 7;
constexpr uint8_t kKeyboard = 12;
constexpr float kFull = 0.984375f;  // the factor of amount 127

TEST_F(SynthTest, NeutralAndUnusedRoutesLeaveThePatchButATouchedValueIsClamped) {
    TestPatch p = sinePatch();
    p.voice[12] = 200;
    p.channel[5] = 77;
    p.routes = {ModRoute{kLane1, 64, 7}, ModRoute{kLane1, 64, 12}, ModRoute{kLane7, 64, 59 + 5},
                ModRoute{kLane7, 127, 88}, ModRoute{kLane7, 0, 255}};  // 88 and above address nothing
    Synth& synth = open({p});
    send(synth, {0xB0, 1, 127, 0x90, 60, 100, 0xFD});
    render(synth, 1);
    for (int i = 0; i < kVoiceParamCount; ++i) EXPECT_EQ(synth.voiceParams[0][i], i == 12 ? 128 : p.voice[i]) << i;
    for (int i = 0; i < kChannelParamCount; ++i) EXPECT_EQ(synth.channelParams[0][i], p.channel[i]) << i;
}

TEST_F(SynthTest, Lane7AtFullAmountAddsItsScaledValueAndClampsAt128) {
    TestPatch p = sinePatch();
    p.channel[0] = 0;
    p.routes = {ModRoute{kLane7, 127, 59}};
    TestPatch loud = p;
    loud.channel[0] = 10;
    Synth& synth = open({p, loud});
    send(synth, {0xC1, 1, 0xFD});
    render(synth, 1);
    // 127 · (127 − 64)/64 = 125.015625, exact in float.
    EXPECT_EQ(synth.channelParams[0][0], 125.015625f);
    EXPECT_EQ(synth.channelParams[1][0], 128.0f);
    EXPECT_EQ(synth.channels[0].volume, 125.015625f / 128.0f * 0.6f);  // the strip gets the modulated value
}

TEST_F(SynthTest, KeyboardSourceIsTwicePerSemitoneFromNote48) {
    TestPatch p = sinePatch();
    p.voice[6] = 20;
    p.routes = {ModRoute{kKeyboard, 127, 6}, ModRoute{200, 127, 59 + 1}};  // every source >= 12 is the keyboard
    Synth& synth = open({p});
    send(synth, {0x90, 48, 100, 0x91, 60, 100, 0x92, 40, 100, 0xFD});
    render(synth, 1);
    EXPECT_EQ(synth.voiceParams[0][6], 20.0f);
    EXPECT_EQ(synth.voiceParams[1][6], 20.0f + 24.0f * kFull);
    EXPECT_EQ(synth.voiceParams[2][6], 20.0f - 16.0f * kFull);
    EXPECT_EQ(synth.channelParams[1][1], 24.0f * kFull);
}

TEST_F(SynthTest, ClampAppliesAfterEachRouteInListOrder) {
    TestPatch p = sinePatch();
    p.voice[20] = p.voice[21] = 20;
    p.voice[25] = 255;  // untouched: keeps the byte value, unclamped
    // −127 drives parameter 20 below 0 (clamped to +0), then 64 · 10/64 adds 10.
    p.routes = {ModRoute{kLane7, 0, 20}, ModRoute{kLane2, 74, 20}, ModRoute{kLane2, 74, 21}, ModRoute{kLane7, 0, 21}};
    Synth& synth = open({p});
    send(synth, {0xB0, 2, 64, 0x90, 60, 100, 0xFD});
    render(synth, 1);
    EXPECT_EQ(synth.voiceParams[0][20], 10.0f);
    EXPECT_EQ(synth.voiceParams[0][21], 0.0f);
    EXPECT_FALSE(std::signbit(synth.voiceParams[0][21]));
    EXPECT_EQ(synth.voiceParams[0][25], 255.0f);
}

TEST_F(SynthTest, VoiceRoutesReadTheVoiceAndChannelRoutesTheChannelsLastVoice) {
    TestPatch p = sinePatch();
    p.voice[37] = 0;
    p.routes = {ModRoute{kVelocity, 127, 37}, ModRoute{kVelocity, 127, 59 + 5}};
    Synth& synth = open({p});
    send(synth, {0x90, 60, 64, 0xFD});
    // Applied before the start: the voice's previous velocity (0 after init).
    EXPECT_EQ(synth.voiceParams[0][37], 0.0f);
    render(synth, 1);
    EXPECT_EQ(synth.voiceParams[0][37], 64.0f * kFull);

    send(synth, {0x90, 62, 32, 0xFD});
    render(synth, 128);
    EXPECT_EQ(synth.voiceParams[0][37], 64.0f * kFull);
    EXPECT_EQ(synth.voiceParams[1][37], 32.0f * kFull);
    EXPECT_EQ(synth.channelParams[0][5], 32.0f * kFull);  // voice 1 is the last started

    // A retriggered voice sees its previous note's velocity until the next frame.
    send(synth, {0xB0, 123, 0, 0xFD});
    render(synth, 128);  // both released with release 0: freed at this frame start
    ASSERT_EQ(synth.voiceChannel[0], kFreeVoice);
    send(synth, {0x90, 64, 100, 0xFD});
    EXPECT_EQ(synth.voiceParams[0][37], 64.0f * kFull);
    // A channel that never played reads voice 0, whatever channel that voice now serves.
    EXPECT_EQ(synth.channelParams[5][5], 64.0f * kFull);
}

TEST_F(SynthTest, EnvelopeAndLfoOutputsAreSources) {
    TestPatch p = sinePatch();
    p.voice[44] = 2;     // LFO 1 square
    p.voice[47] = 128;   // fastest rate: a quarter cycle per frame
    p.voice[50] = 100;   // amount
    p.routes = {ModRoute{8, 127, 19}, ModRoute{10, 127, 18}};
    Synth& synth = open({p});
    send(synth, {0x90, 60, 100, 0xFD});
    render(synth, 1);
    // Modulation runs before this frame's ticks: it sees the outputs left by the last frame.
    EXPECT_EQ(synth.voiceParams[0][19], 0.0f);
    render(synth, 128);
    // Attack 0 puts envelope 1 at 128 in the first tick; 128 · 63/64 = 126.
    EXPECT_EQ(synth.voiceParams[0][19], 126.0f);
    EXPECT_EQ(synth.voiceParams[0][18], 0.0f);  // the square's first half
    render(synth, 3 * 128);
    // By the fifth frame the square (increment 2^30) is in its high half: 100 · (1 − 2^-23).
    EXPECT_NEAR(synth.voiceParams[0][18], 100.0f * kFull, 1e-4f);
}

}  // namespace
}  // namespace zimblo::synth::test
