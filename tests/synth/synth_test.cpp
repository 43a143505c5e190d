// Initialisation, the global block, queries and the patch lookup.
#include "synth_fixture.h"

#include <cmath>

namespace zimblo::synth::test {
namespace {

TEST_F(SynthTest, InitLeavesEveryVoiceFreeAndEveryChannelAtFullLane7) {
    Synth& synth = open({sinePatch()});
    for (int v = 0; v < kVoiceCount; ++v) EXPECT_EQ(synth.voiceChannel[v], kFreeVoice) << v;
    for (int c = 0; c < kChannelCount; ++c) {
        EXPECT_EQ(synth.channelControls[c].program, 0) << c;
        for (uint32_t lane = 1; lane <= 6; ++lane) EXPECT_EQ(synth.channelControls[c].lane(lane), 0);
        EXPECT_EQ(synth.channelControls[c].lane(7), 127) << c;
    }
    uint32_t counts[17];
    std::fill(counts, counts + 17, 99u);
    synth.voiceCounts(counts);
    for (uint32_t count : counts) EXPECT_EQ(count, 0u);
    EXPECT_EQ(synth.runningStatus, 0u);
    EXPECT_EQ(synth.framesLeft, 0);
    EXPECT_EQ(synth.frameLength(), 128);
    EXPECT_EQ(dsp::rates().inverseFrameLength, 0.0078125f);
    EXPECT_EQ(currentSynth(), &synth);
    EXPECT_EQ(Synth::stateSize(), sizeof(Synth));
    // The chorus and global delay lines are the record's own storage.
    EXPECT_EQ(synth.channels[3].chorus.bufL, synth.channelDelayStorage[3].data());
    EXPECT_EQ(synth.channels[3].chorus.bufR, synth.channelDelayStorage[3].data() + kChorusLineLength);
    EXPECT_EQ(synth.channels[3].chorus.mask, kChorusLineLength - 1);
    EXPECT_EQ(synth.globalDelay.bufR, synth.globalDelayStorage.data() + kGlobalDelayLineLength);
    EXPECT_EQ(synth.globalDelay.mask, kGlobalDelayLineLength - 1);
}

TEST_F(SynthTest, InitAfterPlayingEqualsAFreshInit) {
    const std::vector<uint8_t> bytes = buildBank({sinePatch(), sinePatch()});
    auto synth = std::make_unique<Synth>();
    const PatchBank bank{bytes.data(), static_cast<uint32_t>(bytes.size())};
    synth->init(bank, 44100);
    const std::vector<uint8_t> fresh = snapshot(*synth);
    std::array<uint8_t, kGlobalParamCount> busy = ringingGlobals();
    busy[4] = 100;  // delay on
    busy[13] = 1;   // master dynamics on
    synth->setGlobalParams(busy.data());
    send(*synth, {0x90, 60, 100, 0xB0, 1, 33, 0xC1, 1, 0x9F, 50, 90, 0xFD});
    render(*synth, 1000);
    synth->setMeterMode(1);
    synth->init(bank, 44100);
    EXPECT_TRUE(sameBytes(fresh, *synth));
}

TEST_F(SynthTest, RenderBeforeGlobalParamsIsSilent) {
    const std::vector<uint8_t> bytes = buildBank({sinePatch()});
    auto synth = std::make_unique<Synth>();
    synth->init(PatchBank{bytes.data(), static_cast<uint32_t>(bytes.size())}, 44100);
    send(*synth, {0x90, 60, 100, 0xFD});
    const std::vector<StereoFrame> out = render(*synth, 512);
    for (const StereoFrame& f : out) {
        ASSERT_EQ(f.left, 0.0f);
        ASSERT_EQ(f.right, 0.0f);
    }
    // The voice itself did play: the channel meter saw it.
    float left = 0, right = 0;
    synth->channelLevel(0, left, right);
    EXPECT_GT(left, 0.1f);
}

TEST_F(SynthTest, GlobalParamsSetToneCoefficientsAndKeepFilterStates) {
    std::array<uint8_t, kGlobalParamCount> g = quietGlobals();
    g[11] = 127;
    g[12] = 127;
    Synth& synth = open({sinePatch()}, g);
    EXPECT_EQ(synth.toneFilter.lowCutCoefficient, 1.0f);
    EXPECT_EQ(synth.toneFilter.highCutCoefficient, 1.0f);
    for (int i = 0; i < kGlobalParamCount; ++i) EXPECT_EQ(synth.globalParams[i], static_cast<float>(g[i]));

    synth.toneFilter.lowCutLeft = 0.25f;
    synth.toneFilter.highCutRight = -0.5f;
    g[11] = 0;
    g[12] = 63;
    g[21] = 255;  // bytes are unsigned
    synth.setGlobalParams(g.data());
    EXPECT_EQ(synth.toneFilter.lowCutCoefficient, 1.0f / 16384.0f);
    EXPECT_EQ(synth.toneFilter.highCutCoefficient, 0.25f);
    EXPECT_EQ(synth.globalParams[21], 255.0f);
    EXPECT_EQ(synth.toneFilter.lowCutLeft, 0.25f);
    EXPECT_EQ(synth.toneFilter.highCutRight, -0.5f);
}

TEST_F(SynthTest, RatesWhoseFrameWouldExceed280AreClampedTo280) {
    Synth& synth = open({sinePatch()}, quietGlobals(), 192000);
    EXPECT_EQ(synth.frameLength(), 280);
    send(synth, {0x90, 60, 100, 0xFD});
    std::vector<StereoFrame> out(1000, StereoFrame{7.0f, 7.0f});
    out.push_back(StereoFrame{123.0f, 456.0f});  // guard frame past the request
    synth.render(&out[0].left, 1000, nullptr, 0);
    EXPECT_EQ(out[1000].left, 123.0f);
    EXPECT_EQ(out[1000].right, 456.0f);
    EXPECT_EQ(synth.framesLeft, 4 * 280 - 1000);  // four control frames computed
    Synth& normal = open({sinePatch()});
    EXPECT_EQ(normal.frameLength(), 128);
    EXPECT_EQ(dsp::rates().sampleRate, 44100u);
}

TEST_F(SynthTest, QueriesReportVoicesProgramsAndMeters) {
    TestPatch wide = sinePatch();
    wide.voiceLimit = 4;
    Synth& synth = open({wide, wide, wide});
    send(synth, {0xC2, 2, 0x92, 60, 1, 62, 1, 0x95, 70, 1, 0xC7, 0x81, 0xFD});
    uint32_t counts[17];
    synth.voiceCounts(counts);
    for (int c = 0; c < kChannelCount; ++c) EXPECT_EQ(counts[c], c == 2 ? 2u : c == 5 ? 1u : 0u) << c;
    EXPECT_EQ(counts[16], 3u);

    uint32_t programs[16];
    synth.channelPrograms(programs);
    for (int c = 0; c < kChannelCount; ++c) EXPECT_EQ(programs[c], c == 2 ? 2u : c == 7 ? 1u : 0u) << c;

    float left = 1, right = 1;
    synth.channelLevel(16, left, right);  // no such channel: silence
    EXPECT_EQ(left, 0.0f);
    EXPECT_EQ(right, 0.0f);
}

TEST(PatchLookup, OutOfBankProgramsAndPatchesGiveTheZeroPatch) {
    TestPatch a = sinePatch();
    a.voiceLimit = 3;
    a.routes = {ModRoute{1, 100, 7}, ModRoute{0, 80, 59}};
    TestPatch b = sinePatch();
    b.voiceLimit = 5;
    std::vector<uint8_t> bytes = buildBank({a, b});
    const uint32_t size = static_cast<uint32_t>(bytes.size());

    const Patch first = findPatch(PatchBank{bytes.data(), size}, 0);
    EXPECT_EQ(first.bytes, bytes.data() + 8);
    EXPECT_EQ(first.voiceLimit(), 3u);
    EXPECT_EQ(first.routeCount(), 2u);
    EXPECT_EQ(first.route(1).destination, 59);
    EXPECT_EQ(first.voiceParam(7), 64.0f);
    EXPECT_EQ(first.channelParam(0), 128.0f);
    EXPECT_EQ(findPatch(PatchBank{bytes.data(), size}, 1).voiceLimit(), 5u);
    EXPECT_EQ(programCount(PatchBank{bytes.data(), size}), 2u);

    auto isZero = [](const Patch& p) {
        for (uint32_t i = 0; i < kPatchHeaderBytes; ++i) {
            if (p.bytes[i] != 0) return false;
        }
        return true;
    };
    EXPECT_TRUE(isZero(findPatch(PatchBank{bytes.data(), size}, 2)));    // beyond the table
    EXPECT_TRUE(isZero(findPatch(PatchBank{bytes.data(), size - 1}, 1)));  // last patch cut short
    EXPECT_FALSE(isZero(findPatch(PatchBank{bytes.data(), size - 1}, 0)));
    EXPECT_TRUE(isZero(findPatch(PatchBank{bytes.data(), 7}, 0)));  // shorter than its table
    EXPECT_TRUE(isZero(findPatch(PatchBank{bytes.data(), 3}, 0)));
    EXPECT_TRUE(isZero(findPatch(PatchBank{}, 0)));
    // Route list running past the end of the bank.
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + 8 + 90 + 3);
    EXPECT_TRUE(isZero(findPatch(PatchBank{cut.data(), static_cast<uint32_t>(cut.size())}, 0)));
    // An offset near 2^32 must not wrap back into the bank.
    bytes[4] = 0xF0;
    bytes[5] = 0xFF;
    bytes[6] = 0xFF;
    bytes[7] = 0xFF;
    EXPECT_TRUE(isZero(findPatch(PatchBank{bytes.data(), size}, 1)));
}

}  // namespace
}  // namespace zimblo::synth::test
