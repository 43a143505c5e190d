// The render loop, the control frame, the master tone filter and the meters.
#include "synth_fixture.h"

#include <algorithm>
#include <cmath>

namespace zimblo::synth::test {
namespace {

double energy(const std::vector<StereoFrame>& frames, size_t from = 0) {
    double sum = 0.0;
    for (size_t i = from; i < frames.size(); ++i) {
        sum += double(frames[i].left) * frames[i].left + double(frames[i].right) * frames[i].right;
    }
    return sum;
}

TEST_F(SynthTest, ZeroFrameRequestChangesNothing) {
    Synth& synth = open({sinePatch()});
    send(synth, {0x90, 60, 100, 0xFD});
    const std::vector<uint8_t> before = snapshot(synth);
    StereoFrame untouched{3.0f, 4.0f};
    synth.render(&untouched.left, 0, nullptr, 0);
    EXPECT_TRUE(sameBytes(before, synth));
    EXPECT_EQ(untouched.left, 3.0f);
    EXPECT_EQ(synth.framesLeft, 0);
}

TEST_F(SynthTest, RequestSizesSplitAndAddModesAllCarryTheSameSamples) {
    const std::vector<TestPatch> patches{sinePatch()};
    Synth& whole = open(patches, ringingGlobals());
    Synth& pieces = open(patches, ringingGlobals());
    Synth& split = open(patches, ringingGlobals());
    Synth& added = open(patches, ringingGlobals());
    for (Synth* s : {&whole, &pieces, &split, &added}) send(*s, {0x90, 60, 100, 64, 90, 0xFD});

    const std::vector<StereoFrame> reference = render(whole, 300);
    ASSERT_GT(energy(reference), 1.0);

    std::vector<StereoFrame> joined(300);
    pieces.render(&joined[0].left, 1, nullptr, 0);
    pieces.render(&joined[1].left, 127, nullptr, 0);
    pieces.render(&joined[128].left, 172, nullptr, 0);

    std::vector<float> left(300, 0.5f), right(300, -0.25f);
    split.render(left.data(), 200, right.data(), 0);
    split.render(left.data() + 200, 100, right.data() + 200, 1);  // adds onto 0.5 / −0.25

    std::vector<StereoFrame> sum(300, StereoFrame{0.125f, 2.0f});
    added.render(&sum[0].left, 300, nullptr, 1);

    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(joined[i].left, reference[i].left) << i;
        ASSERT_EQ(joined[i].right, reference[i].right) << i;
        ASSERT_EQ(left[i], i < 200 ? reference[i].left : 0.5f + reference[i].left) << i;
        ASSERT_EQ(right[i], i < 200 ? reference[i].right : -0.25f + reference[i].right) << i;
        ASSERT_EQ(sum[i].left, 0.125f + reference[i].left) << i;
        ASSERT_EQ(sum[i].right, 2.0f + reference[i].right) << i;
    }
    EXPECT_EQ(pieces.framesLeft, 3 * 128 - 300);
    EXPECT_EQ(whole.framesLeft, pieces.framesLeft);
}

TEST_F(SynthTest, FinishedVoiceIsFreedAtTheNextControlFrameStart) {
    Synth& synth = open({sinePatch()});
    send(synth, {0x90, 60, 100, 0xFD});
    render(synth, 128);
    EXPECT_EQ(synth.framesLeft, 0);
    send(synth, {0x80, 60, 0, 0xFD});
    EXPECT_EQ(synth.voiceChannel[0], 0);  // released, still sounding until the frame starts
    render(synth, 1);
    // Release 0 empties the envelope in one tick: freed before it is rendered.
    EXPECT_EQ(synth.voiceChannel[0], kFreeVoice);
    EXPECT_EQ(synth.voices[0].envelopes[0].stage, dsp::EnvelopeStage::Off);
    float left = 1, right = 1;
    synth.channelLevel(0, left, right);
    EXPECT_EQ(left, 0.0f);
    EXPECT_EQ(right, 0.0f);
    uint32_t counts[17];
    synth.voiceCounts(counts);
    EXPECT_EQ(counts[16], 0u);
}

TEST_F(SynthTest, ToneFilterCutsLowAndHighAsOnePoleStages) {
    const float input[6] = {1.0f, 1.0f, 0.5f, -0.25f, 0.0f, 2.0f};
    StereoFrame frames[6];
    for (int i = 0; i < 6; ++i) frames[i] = StereoFrame{input[i], -input[i]};

    // A = 1, B = 1: the difference of successive samples; the high-cut states stay put.
    MasterToneFilter difference{1.0f, 0.0f, 0.0f, 1.0f, 0.75f, -0.75f};
    StereoFrame d[6];
    std::copy(frames, frames + 6, d);
    difference.process(d, 6);
    float previous = 0.0f;
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(d[i].left, input[i] - previous) << i;
        EXPECT_EQ(d[i].right, -(input[i] - previous)) << i;
        previous = input[i];
    }
    EXPECT_EQ(difference.lowCutLeft, 2.0f);
    EXPECT_EQ(difference.highCutLeft, 0.75f);
    EXPECT_EQ(difference.highCutRight, -0.75f);

    // A = 0 passes everything to a one-pole low-pass high += B·(x − high).
    MasterToneFilter smooth{0.0f, 0.0f, 0.0f, 0.25f, 0.0f, 0.0f};
    StereoFrame s[6];
    std::copy(frames, frames + 6, s);
    smooth.process(s, 6);
    float high = 0.0f;
    for (int i = 0; i < 6; ++i) {
        high = high + 0.25f * (input[i] - high);
        EXPECT_EQ(s[i].left, high) << i;
    }
    EXPECT_EQ(smooth.highCutLeft, high);
    EXPECT_EQ(smooth.lowCutLeft, 0.0f);

    // In the engine with B = 1 the high-cut states never move while the low cut works.
    Synth& synth = open({sinePatch()});
    send(synth, {0x90, 60, 100, 0xFD});
    render(synth, 2000);
    EXPECT_EQ(synth.toneFilter.highCutLeft, 0.0f);
    EXPECT_EQ(synth.toneFilter.highCutRight, 0.0f);
    EXPECT_NE(synth.toneFilter.lowCutLeft, 0.0f);
}

TEST_F(SynthTest, PeakMetersDecayEveryFrameAndMeanSquareMetersAverage) {
    StereoFrame frames[3] = {{1.0f, -0.5f}, {0.0f, 0.0f}, {0.5f, 0.25f}};
    StereoFrame meter{};
    updateMeter(meter, frames, 1, 0);
    EXPECT_EQ(meter.left, 0.9999f);
    EXPECT_EQ(meter.right, 0.5f * 0.9999f);
    updateMeter(meter, frames + 1, 2, 0);
    EXPECT_EQ(meter.left, 0.9999f * 0.9999f * 0.9999f);  // 0.5 never exceeds the decayed peak
    EXPECT_EQ(meter.right, 0.5f * 0.9999f * 0.9999f * 0.9999f);

    updateMeter(meter, frames, 3, 1);
    EXPECT_EQ(meter.left, (1.0f + 0.0f + 0.25f) / 3.0f);
    EXPECT_EQ(meter.right, (0.25f + 0.0f + 0.0625f) / 3.0f);

    // In the engine: the channel meter reads the strip's output, the master meter the master buffer.
    Synth& synth = open({sinePatch(), sinePatch()});
    synth.setMeterMode(7);
    send(synth, {0x92, 60, 100, 0xFD});
    render(synth, 256);
    StereoFrame expectChannel{}, expectMaster{};
    for (int i = 0; i < 128; ++i) {
        expectChannel.left = expectChannel.left + synth.channelBuffer[i].left * synth.channelBuffer[i].left;
        expectMaster.right = expectMaster.right + synth.masterBuffer[i].right * synth.masterBuffer[i].right;
    }
    float left = 0, right = 0;
    synth.channelLevel(2, left, right);
    EXPECT_EQ(left, expectChannel.left / 128.0f);
    EXPECT_GT(left, 0.01f);
    synth.masterLevel(left, right);
    EXPECT_EQ(right, expectMaster.right / 128.0f);
    synth.channelLevel(1, left, right);
    EXPECT_EQ(left, 0.0f);
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
    p.channel[25] = 64;
    p.channel[28] = 64;
    Synth& synth = open({p}, ringingGlobals());
    send(synth, {0x90, 60, 100, 0xFD});
    render(synth, 4 * 128);
    send(synth, {0x80, 60, 0, 0xFD});
    render(synth, 128);
    ASSERT_EQ(synth.voiceChannel[0], kFreeVoice);

    const fx::Channel frozen = synth.channels[0];
    const auto lines = synth.channelDelayStorage[0];
    EXPECT_NE(frozen.chorus.write, 0);
    const std::vector<StereoFrame> tail = render(synth, 20 * 128);
    EXPECT_EQ(synth.channels[0].chorus.write, frozen.chorus.write);
    EXPECT_EQ(synth.channels[0].chorus.phase, frozen.chorus.phase);
    EXPECT_EQ(synth.channels[0].dyn.lookIndex, frozen.dyn.lookIndex);
    EXPECT_EQ(synth.channels[0].dyn.gainL, frozen.dyn.gainL);
    EXPECT_EQ(synth.channels[0].dyn.peakL, frozen.dyn.peakL);
    EXPECT_EQ(synth.channels[0].dc1.y1L, frozen.dc1.y1L);
    EXPECT_EQ(synth.channels[0].dc2.x1R, frozen.dc2.x1R);
    EXPECT_TRUE(lines == synth.channelDelayStorage[0]);
    // The reverb tail goes on: the echoes of the combs (1309+ frames) arrive in silence.
    std::vector<StereoFrame> late(tail.begin() + 10 * 128, tail.end());
    EXPECT_GT(energy(late), 1e-4);
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
        return render(synth, 10 * 128);
    };
    const double forward = energy(play(sender, returner), 256);
    const double backward = energy(play(returner, sender), 256);
    const double forwardOsc = energy(play(sender, auxInput), 256);
    const double backwardOsc = energy(play(auxInput, sender), 256);
    EXPECT_GT(forward, 1.0);
    EXPECT_GT(forwardOsc, 1.0);
    EXPECT_LT(backward, 1e-6);
    EXPECT_LT(backwardOsc, 1e-6);
}

TEST_F(SynthTest, SingerShapesOnlyChannel15AndOnlyWhileItHasAVoice) {
    TestPatch hardLeft = sinePatch();
    hardLeft.voice[0] = 0;  // pan: left only
    Synth& synth = open({hardLeft});
    send(synth, {0x9E, 60, 100, 0x9F, 60, 100, 0xFD});
    render(synth, 4 * 128);
    float left = 0, right = 0;
    synth.channelLevel(14, left, right);
    EXPECT_GT(left, 0.1f);
    EXPECT_LT(right, 1e-3f);
    // The singer replaces the voices' mix by its mono output on both sides.
    synth.channelLevel(15, left, right);
    EXPECT_EQ(left, right);

    // Without a voice on channel 15 its filter does not run, though its text still steps.
    send(synth, {0xBF, 120, 0, 0xFD});
    render(synth, 128);
    const speech::FormantFilter filter = synth.singer.filter;
    render(synth, 8 * 128);
    EXPECT_EQ(synth.singer.filter.noiseSeed, filter.noiseSeed);
    EXPECT_EQ(std::memcmp(&filter.resonators, &synth.singer.filter.resonators, sizeof(filter.resonators)), 0);
    EXPECT_EQ(synth.singer.filter.highpass1, filter.highpass1);
}

}  // namespace
}  // namespace zimblo::synth::test
