// The render loop, the control frame, the master tone filter and the meters.
#include "synth_fixture.h"

#include <algorithm>

namespace zimblo::synth::test {
namespace {

double energy(const std::vector<StereoFrame>& frames, size_t from = 0) {
    double sum = 0.0;
    for (size_t i = from; i < frames.size(); ++i) {
        sum += double(frames[i].left) * frames[i].left + double(frames[i].right) * frames[i].right;
    }
    return sum;
}

TEST_F(SynthTest, RequestSizesSplitAndAddModesAllCarryTheSameSamples) {
    Synth* s[4];
    for (Synth*& synth : s) {
        synth = &open({sinePatch()}, globals(true));
        send(*synth, {0x90, 60, 100, 64, 90, 0xFD});
    }
    Synth& whole = *s[0];
    Synth& pieces = *s[1];
    // A request of no frames computes nothing and writes nothing.
    const std::vector<uint8_t> before = snapshot(pieces);
    StereoFrame untouched{3.0f, 4.0f};
    pieces.render(&untouched.left, 0, nullptr, 0);
    EXPECT_TRUE(snapshot(pieces) == before);
    EXPECT_EQ(untouched.left, 3.0f);

    const std::vector<StereoFrame> reference = render(whole, 300);
    ASSERT_GT(energy(reference), 1.0);
    std::vector<StereoFrame> joined(300);
    pieces.render(&joined[0].left, 1, nullptr, 0);
    pieces.render(&joined[1].left, 127, nullptr, 0);
    pieces.render(&joined[128].left, 172, nullptr, 0);
    std::vector<float> left(300, 0.5f), right(300, -0.25f);
    s[2]->render(left.data(), 200, right.data(), 0);
    s[2]->render(left.data() + 200, 100, right.data() + 200, 1);  // adds onto 0.5 / −0.25
    std::vector<StereoFrame> sum(300, StereoFrame{0.125f, 2.0f});
    s[3]->render(&sum[0].left, 300, nullptr, 1);

    for (int i = 0; i < 300; ++i) {
        const StereoFrame r = reference[i];
        ASSERT_TRUE(same(joined[i], r)) << i;
        ASSERT_TRUE(same({left[i], right[i]}, i < 200 ? r : StereoFrame{0.5f + r.left, -0.25f + r.right})) << i;
        ASSERT_TRUE(same(sum[i], {0.125f + r.left, 2.0f + r.right})) << i;
    }
    EXPECT_EQ(pieces.framesLeft, 3 * 128 - 300);
    EXPECT_EQ(whole.framesLeft, pieces.framesLeft);
}

TEST_F(SynthTest, FinishedVoiceIsFreedAtTheNextControlFrameStartUnrendered) {
    Synth& synth = open({sinePatch()});
    send(synth, {0x90, 60, 100, 0xFD});
    render(synth, 128);
    send(synth, {0x80, 60, 0, 0xFD});
    EXPECT_EQ(synth.voiceChannel[0], 0);  // released, still sounding until the frame starts
    render(synth, 1);
    // Release 0 empties the envelope in one tick: freed before it is rendered.
    EXPECT_EQ(synth.voiceChannel[0], kFreeVoice);
    EXPECT_TRUE(same(level(synth, 0), {}));
}

TEST(MasterToneFilter, CutsLowAndHighAsOnePoleStages) {
    const float input[6] = {1.0f, 1.0f, 0.5f, -0.25f, 0.0f, 2.0f};
    StereoFrame d[6], s[6];
    for (int i = 0; i < 6; ++i) d[i] = s[i] = StereoFrame{input[i], -input[i]};

    // A = 1, B = 1: the difference of successive samples; the high-cut states stay put.
    MasterToneFilter difference{1.0f, 0.0f, 0.0f, 1.0f, 0.75f, -0.75f};
    difference.process(d, 6);
    // A = 0 passes everything to a one-pole low-pass high += B·(x − high).
    MasterToneFilter smooth{0.0f, 0.0f, 0.0f, 0.25f, 0.0f, 0.0f};
    smooth.process(s, 6);
    float high = 0.0f;
    for (int i = 0; i < 6; ++i) {
        const float previous = i == 0 ? 0.0f : input[i - 1];
        EXPECT_TRUE(same(d[i], {input[i] - previous, previous - input[i]})) << i;
        high = high + 0.25f * (input[i] - high);
        EXPECT_EQ(s[i].left, high) << i;
    }
    EXPECT_EQ(difference.lowCutLeft, 2.0f);
    EXPECT_EQ(difference.highCutLeft, 0.75f);
    EXPECT_EQ(difference.highCutRight, -0.75f);
    EXPECT_EQ(smooth.highCutLeft, high);
    EXPECT_EQ(smooth.lowCutLeft, 0.0f);
}

TEST_F(SynthTest, PeakMetersDecayEveryFrameAndMeanSquareMetersAverage) {
    StereoFrame frames[3] = {{1.0f, -0.5f}, {0.0f, 0.0f}, {0.5f, 0.25f}};
    StereoFrame meter{};
    updateMeter(meter, frames, 1, 0);
    EXPECT_TRUE(same(meter, {0.9999f, 0.5f * 0.9999f}));
    updateMeter(meter, frames + 1, 2, 0);  // 0.5 never exceeds the decayed peak
    EXPECT_TRUE(same(meter, {0.9999f * 0.9999f * 0.9999f, 0.5f * 0.9999f * 0.9999f * 0.9999f}));
    updateMeter(meter, frames, 3, 1);
    EXPECT_TRUE(same(meter, {(1.0f + 0.0f + 0.25f) / 3.0f, (0.25f + 0.0f + 0.0625f) / 3.0f}));

    // In the engine: the channel meter reads the strip's output, the master meter the master buffer.
    Synth& synth = open({sinePatch()});
    synth.setMeterMode(7);
    send(synth, {0x92, 60, 100, 0xFD});
    render(synth, 256);
    float channel = 0.0f, master = 0.0f;
    for (int i = 0; i < 128; ++i) {
        channel = channel + synth.channelBuffer[i].left * synth.channelBuffer[i].left;
        master = master + synth.masterBuffer[i].right * synth.masterBuffer[i].right;
    }
    EXPECT_EQ(level(synth, 2).left, channel / 128.0f);
    EXPECT_GT(level(synth, 2).left, 0.01f);
    float left = 0, right = 0;
    synth.masterLevel(left, right);
    EXPECT_EQ(right, master / 128.0f);
    EXPECT_EQ(level(synth, 1).left, 0.0f);
}

TEST_F(SynthTest, SilentChannelFreezesItsEffectsWhileTheReverbRingsOn) {
    TestPatch p = sinePatch();
    p.channel[5] = 128;   // reverb send
    p.channel[13] = 100;  // chorus on
    p.channel[15] = 10;
    p.channel[16] = 12;
    p.channel[18] = 30;
    p.channel[20] = 1;    // linked peak dynamics
    p.channel[24] = 90;
    p.channel[25] = p.channel[28] = 64;
    Synth& synth = open({p}, globals(true));
    send(synth, {0x90, 60, 100, 0xFD});
    render(synth, 4 * 128);
    send(synth, {0x80, 60, 0, 0xFD});
    render(synth, 128);
    ASSERT_EQ(synth.voiceChannel[0], kFreeVoice);

    EXPECT_NE(synth.channels[0].chorus.write, 0);
    const std::vector<uint8_t> frozen = snapshot(synth.channels[0]);
    const std::vector<uint8_t> lines = snapshot(synth.channelDelayStorage[0]);
    const std::vector<StereoFrame> tail = render(synth, 20 * 128);
    EXPECT_TRUE(snapshot(synth.channels[0]) == frozen);
    EXPECT_TRUE(snapshot(synth.channelDelayStorage[0]) == lines);
    // The reverb tail goes on: the echoes of the combs (1309+ frames) arrive in silence.
    EXPECT_GT(energy(tail, 10 * 128), 1e-4);
}

TEST_F(SynthTest, AuxBusesCarryOnlyFromLowerToHigherChannels) {
    TestPatch sender = sinePatch();
    sender.channel[0] = 0;    // nothing straight to the master
    sender.channel[3] = 128;  // aux 1 send 0.6
    TestPatch returner = sinePatch();
    returner.voice[2] = 0;     // no oscillator of its own
    returner.channel[1] = 128; // aux 1 return
    TestPatch auxInput = sinePatch();
    auxInput.voice[2] = 6;     // oscillator 1 reads aux bus 1
    auxInput.voice[7] = 128;

    // Channel 0 plays the first patch, channel 1 the second.
    auto play = [&](const TestPatch& low, const TestPatch& high) {
        Synth& synth = open({low, high});
        send(synth, {0xC1, 1, 0x90, 60, 100, 0x91, 60, 100, 0xFD});
        return energy(render(synth, 10 * 128), 256);
    };
    EXPECT_GT(play(sender, returner), 1.0);
    EXPECT_GT(play(sender, auxInput), 1.0);
    EXPECT_LT(play(returner, sender), 1e-6);
    EXPECT_LT(play(auxInput, sender), 1e-6);
}

TEST_F(SynthTest, SingerShapesOnlyChannel15AndOnlyWhileItHasAVoice) {
    TestPatch hardLeft = sinePatch();
    hardLeft.voice[0] = 0;  // pan: left only
    Synth& synth = open({hardLeft});
    send(synth, {0x9E, 60, 100, 0x9F, 60, 100, 0xFD});
    render(synth, 4 * 128);
    EXPECT_GT(level(synth, 14).left, 0.1f);
    EXPECT_LT(level(synth, 14).right, 1e-3f);
    // The singer replaces the voices' mix by its mono output on both sides.
    EXPECT_EQ(level(synth, 15).left, level(synth, 15).right);

    // Without a voice on channel 15 its filter does not run, though its text still steps.
    send(synth, {0xBF, 120, 0, 0xFD});
    render(synth, 128);
    const std::vector<uint8_t> filter = snapshot(synth.singer.filter);
    render(synth, 8 * 128);
    EXPECT_TRUE(snapshot(synth.singer.filter) == filter);
}

}  // namespace
}  // namespace zimblo::synth::test
