// Initialisation, the global block, queries and the patch lookup.
#include "synth_fixture.h"

namespace zimblo::synth::test {
namespace {

TEST_F(SynthTest, InitFreesEveryVoiceSetsLane7AndLendsTheDelayLinesItsStorage) {
    Synth& synth = open({sinePatch()});
    EXPECT_EQ(voicesOn(synth, kFreeVoice), kVoiceCount);
    for (const ChannelControls& c : synth.channelControls) EXPECT_EQ(c.lane(7), 127);
    EXPECT_EQ(synth.frameLength(), 128);
    EXPECT_EQ(currentSynth(), &synth);
    EXPECT_EQ(synth.channels[3].chorus.bufL, synth.channelDelayStorage[3].data());
    EXPECT_EQ(synth.channels[3].chorus.bufR, synth.channelDelayStorage[3].data() + kChorusLineLength);
    EXPECT_EQ(synth.channels[3].chorus.mask, kChorusLineLength - 1);
    EXPECT_EQ(synth.globalDelay.bufR, synth.globalDelayStorage.data() + kGlobalDelayLineLength);
    EXPECT_EQ(synth.globalDelay.mask, kGlobalDelayLineLength - 1);
}

// The reset byte re-runs init, global block included, and a data byte after it ends the stream.
TEST_F(SynthTest, InitOrResetByteAfterPlayingEqualsAFreshInit) {
    Synth& synth = open({sinePatch(), sinePatch()}, globals(), 44100, false);
    const std::vector<uint8_t> fresh = snapshot(synth);
    Globals busy = globals(true);
    busy[4] = 100;  // delay on
    busy[13] = 1;   // master dynamics on
    for (bool byStream : {false, true}) {
        synth.setGlobalParams(busy.data());
        send(synth, {0x90, 60, 100, 0xB0, 1, 33, 7, 5, 0xC1, 1, 0x9F, 50, 90, 0xFD});
        render(synth, 1000);
        synth.setMeterMode(1);
        if (byStream) {
            send(synth, {0xFF, 62, 100, 0xFD});
        } else {
            synth.init(synth.bank, 44100);
        }
        EXPECT_TRUE(snapshot(synth) == fresh) << byStream;
    }
    // A status byte after the reset carries on.
    send(synth, {0xFF, 0x91, 64, 100, 0xFD});
    EXPECT_EQ(voiceTable(synth), "0:1/64");
}

TEST_F(SynthTest, RenderBeforeGlobalParamsIsSilentThoughTheVoicePlays) {
    Synth& synth = open({sinePatch()}, globals(), 44100, false);
    send(synth, {0x90, 60, 100, 0xFD});
    for (const StereoFrame& f : render(synth, 512)) ASSERT_TRUE(same(f, {}));
    EXPECT_GT(level(synth, 0).left, 0.1f);
}

TEST_F(SynthTest, GlobalBlockSetsSquaredToneCoefficientsAndKeepsFilterStates) {
    Synth& synth = open({sinePatch()});
    synth.toneFilter.lowCutLeft = 0.25f;
    synth.toneFilter.highCutRight = -0.5f;
    struct Case { uint8_t g11, g12; float a, b; };
    for (const Case& c : {Case{127, 127, 1.0f, 1.0f}, Case{0, 63, 1.0f / 16384.0f, 0.25f}}) {
        Globals g = globals();
        g[11] = c.g11;
        g[12] = c.g12;
        g[21] = 255;  // bytes are unsigned
        synth.setGlobalParams(g.data());
        EXPECT_EQ(synth.toneFilter.lowCutCoefficient, c.a);
        EXPECT_EQ(synth.toneFilter.highCutCoefficient, c.b);
        for (int i = 0; i < kGlobalParamCount; ++i) EXPECT_EQ(synth.globalParams[i], g[i]) << i;
    }
    EXPECT_EQ(synth.toneFilter.lowCutLeft, 0.25f);
    EXPECT_EQ(synth.toneFilter.highCutRight, -0.5f);
}

TEST_F(SynthTest, RatesWhoseFrameWouldExceed280AreClampedTo280) {
    Synth& synth = open({sinePatch()}, globals(), 192000);
    EXPECT_EQ(synth.frameLength(), 280);
    send(synth, {0x90, 60, 100, 0xFD});
    std::vector<StereoFrame> out(1001, StereoFrame{123.0f, 456.0f});  // the last is a guard
    synth.render(&out[0].left, 1000, nullptr, 0);
    EXPECT_EQ(out[1000].left, 123.0f);
    EXPECT_EQ(out[1000].right, 456.0f);
    EXPECT_EQ(synth.framesLeft, 4 * 280 - 1000);
    EXPECT_EQ(open({sinePatch()}).frameLength(), 128);
}

TEST_F(SynthTest, QueriesReportVoicesProgramsAndMeters) {
    Synth& synth = open({sinePatch(4), sinePatch(4), sinePatch(4)});
    send(synth, {0xC2, 2, 0x92, 60, 1, 62, 1, 0x95, 70, 1, 0xC7, 0x81, 0xFD});
    uint32_t counts[17];
    synth.voiceCounts(counts);
    uint32_t programs[16];
    synth.channelPrograms(programs);
    for (int c = 0; c < kChannelCount; ++c) {
        EXPECT_EQ(counts[c], c == 2 ? 2u : c == 5 ? 1u : 0u) << c;
        EXPECT_EQ(programs[c], c == 2 ? 2u : c == 7 ? 1u : 0u) << c;
    }
    EXPECT_EQ(counts[16], 3u);
    EXPECT_TRUE(same(level(synth, 16), {}));  // no such channel: silence
}

TEST(PatchLookup, OutOfBankProgramsAndPatchesGiveTheZeroPatch) {
    TestPatch a = sinePatch(3);
    a.routes = {ModRoute{1, 100, 7}, ModRoute{0, 80, 59}};
    std::vector<uint8_t> bytes = buildBank({a, sinePatch(5)});
    const uint8_t* d = bytes.data();
    const uint32_t size = static_cast<uint32_t>(bytes.size());

    const Patch first = findPatch(PatchBank{d, size}, 0);
    EXPECT_EQ(first.bytes, d + 8);
    EXPECT_EQ(first.voiceLimit(), 3u);
    EXPECT_EQ(first.routeCount(), 2u);
    EXPECT_EQ(findPatch(PatchBank{d, size}, 1).voiceLimit(), 5u);
    EXPECT_EQ(findPatch(PatchBank{d, size - 1}, 0).voiceLimit(), 3u);
    EXPECT_EQ(programCount(PatchBank{d, size}), 2u);

    auto isZero = [](const Patch& p) {
        for (uint32_t i = 0; i < kPatchHeaderBytes; ++i) {
            if (p.bytes[i] != 0) return false;
        }
        return true;
    };
    // Beyond the table; last patch cut short; bank shorter than its table or its
    // first offset; no bank; the route list running past the end.
    const std::pair<PatchBank, uint32_t> zeroCases[] = {
        {{d, size}, 2}, {{d, size - 1}, 1}, {{d, 7}, 0}, {{d, 3}, 0}, {{}, 0}, {{d, 8 + 90 + 3}, 0}};
    for (const auto& [bank, program] : zeroCases) EXPECT_TRUE(isZero(findPatch(bank, program))) << bank.size;
    // An offset near 2^32 must not wrap back into the bank.
    for (int b = 4; b < 8; ++b) bytes[b] = 0xFF;
    bytes[4] = 0xF0;
    EXPECT_TRUE(isZero(findPatch(PatchBank{d, size}, 1)));
}

}  // namespace
}  // namespace zimblo::synth::test
