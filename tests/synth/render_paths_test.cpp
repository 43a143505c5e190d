// The whole engine on each SIMD path against the scalar path: random patches on all 16 channels,
// with voices that stay scalar (aux-input oscillators, the stateful shaper modes) among the
// grouped ones, aux buses carried between channels, channel shapers in their filter modes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "dsp/simd_path.h"
#include "synth_fixture.h"

namespace zimblo::synth::test {
namespace {

std::vector<TestPatch> randomPatches(std::mt19937& random) {
    const auto byte = [&](int top) { return static_cast<uint8_t>(random() % static_cast<uint32_t>(top + 1)); };
    std::vector<TestPatch> patches;
    for (int k = 0; k < kChannelCount; ++k) {
        TestPatch p = sinePatch(4);
        for (int i : {0, 1, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13, 15, 16, 17, 18, 19, 21, 22, 24, 25, 27, 29, 30, 31}) {
            p.voice[i] = byte(128);
        }
        for (int osc : {2, 8, 14}) p.voice[osc] = byte(7);  // aux inputs (6, 7) included
        p.voice[20] = byte(7);
        p.voice[23] = byte(7);
        p.voice[26] = byte(2);
        p.voice[28] = byte(6);  // crusher, decimator and a filter mode stay scalar
        p.voice[58] = byte(2);
        p.channel[1] = byte(1) * 40;  // aux returns
        p.channel[3] = byte(1) * 50;  // aux sends
        p.channel[9] = static_cast<uint8_t>(byte(1) * (5 + byte(6)));  // channel shaper: off or a filter
        p.channel[10] = 32;
        p.channel[11] = byte(128);
        p.channel[12] = byte(100);
        p.channel[5] = byte(60);
        patches.push_back(p);
    }
    return patches;
}

// Equal bits, where two NaNs count as equal (which NaN operand propagates is the compiler's
// choice of operand order, not part of the reproducible output).
bool sameBits(const std::vector<StereoFrame>& a, const std::vector<StereoFrame>& b) {
    const auto* x = reinterpret_cast<const uint32_t*>(a.data());
    const auto* y = reinterpret_cast<const uint32_t*>(b.data());
    const auto isNan = [](uint32_t v) { return (v & 0x7FFFFFFFu) > 0x7F800000u; };
    for (size_t i = 0; i < 2 * a.size(); ++i) {
        if (x[i] != y[i] && !(isNan(x[i]) && isNan(y[i]))) return false;
    }
    return true;
}

TEST_F(SynthTest, EverySimdPathRendersTheScalarPathsBits) {
    const dsp::SimdPath saved = dsp::simdPath();
    std::mt19937 random(2024);
    for (int song = 0; song < 4; ++song) {
        const std::vector<TestPatch> patches = randomPatches(random);
        const auto render = [&](dsp::SimdPath path) {
            dsp::setSimdPath(path);
            Synth& synth = open(patches, globals(true));
            std::vector<uint8_t> stream;
            for (int c = 0; c < kChannelCount; ++c) {
                stream.insert(stream.end(), {static_cast<uint8_t>(0xC0 + c), static_cast<uint8_t>(c)});
                stream.push_back(static_cast<uint8_t>(0x90 + c));
                for (int k = 0; k < 4; ++k) {
                    stream.insert(stream.end(), {static_cast<uint8_t>(30 + 5 * c + 7 * k), static_cast<uint8_t>(50 + 19 * k)});
                }
            }
            stream.push_back(0xFD);
            synth.processEvents(stream.data());
            return SynthTest::render(synth, 128 * 40 + 77);
        };
        const std::vector<StereoFrame> reference = render(dsp::SimdPath::Scalar);
        bool sounds = false;
        for (const StereoFrame& frame : reference) sounds = sounds || frame.left != 0.0f;
        ASSERT_TRUE(sounds) << song;
        for (dsp::SimdPath path : {dsp::SimdPath::Sse2, dsp::SimdPath::Avx2, dsp::SimdPath::Avx512}) {
            if (!dsp::simdPathAvailable(path)) continue;
            EXPECT_TRUE(sameBits(reference, render(path))) << "song " << song << " on " << dsp::simdPathName(path);
            // Both kinds of voice took part: some rendered in groups, some alone.
            const Synth& synth = *synths.back();
            int grouped = 0;
            int alone = 0;
            for (int v = 0; v < kVoiceCount; ++v) {
                if (synth.voiceChannel[v] < 0) continue;
                (synth.voiceGrouped[v] != 0 ? grouped : alone) += 1;
            }
            EXPECT_GT(grouped, 0);
            EXPECT_GT(alone, 0);
        }
    }
    dsp::setSimdPath(saved);
}

}  // namespace
}  // namespace zimblo::synth::test
