// The SIMD voice groups against the scalar voice: random patches and voice mixes, states near
// subnormal sizes, several frames in a row, on every path this processor offers; outputs and
// every field of every voice must match to the bit.
#include "dsp/voice_lanes.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "dsp/maths.h"
#include "dsp/numerics.h"
#include "dsp/rate_constants.h"
#include "same_bits.h"

namespace zimblo::dsp {
namespace {

constexpr int kFrames = 128;
using Params = std::array<float, 59>;

struct Draw {
    std::mt19937 random{12345};
    int upTo(int n) { return static_cast<int>(random() % static_cast<uint32_t>(n + 1)); }
    bool chance(int percent) { return upTo(99) < percent; }
    // Mostly whole parameter steps, sometimes a fraction, sometimes an unmodulated byte above 128.
    float parameter() {
        if (chance(5)) return static_cast<float>(upTo(255));
        if (chance(20)) return std::uniform_real_distribution<float>(0.0f, 128.0f)(random);
        return static_cast<float>(upTo(128));
    }
    // A state value: ordinary, tiny, subnormal or zero.
    float state() {
        switch (upTo(3)) {
            case 0:
                return std::uniform_real_distribution<float>(-1.0f, 1.0f)(random);
            case 1:
                return std::uniform_real_distribution<float>(-1e-37f, 1e-37f)(random);
            case 2:
                return std::uniform_real_distribution<float>(-1e-40f, 1e-40f)(random);
            default:
                return 0.0f;
        }
    }
};

// A voice whose patch, note start and states are drawn at random, fitting the lanes: every
// waveform but the aux inputs, every filter type and routing, the three lane shaper modes.
// A shared filter/shaper choice (types, routing, shaper mode), when given, is forced on the patch.
struct ChainChoice {
    float filter1, filter2, routing, shaper;
};
Voice randomVoice(Draw& draw, const ChainChoice* chain = nullptr) {
    Params p{};
    const bool zeroPatch = draw.chance(5);
    if (!zeroPatch) {
        for (float& value : p) value = draw.parameter();
        for (int osc : {2, 8, 14}) p[osc] = static_cast<float>(draw.upTo(5));
        for (int filter : {20, 23}) p[filter] = static_cast<float>(draw.upTo(draw.chance(10) ? 12 : 7));
        p[26] = static_cast<float>(draw.upTo(3));
        p[28] = static_cast<float>(draw.upTo(2));
        p[58] = static_cast<float>(draw.upTo(2));
        if (draw.chance(20)) p[7] = p[13] = p[19] = 0.0001f;  // tiny oscillator gains
        if (chain != nullptr) {
            p[20] = chain->filter1;
            p[23] = chain->filter2;
            p[26] = chain->routing;
            p[28] = chain->shaper;
        }
    }
    Voice voice;
    voice.reset();
    voice.setup(p.data());
    voice.start(draw.upTo(127), draw.upTo(127));
    for (int k = draw.upTo(3); k > 0; --k) voice.update();
    for (VoiceFilter& filter : voice.filters) {
        filter.low = draw.state();
        filter.band = draw.state();
        filter.stage1 = draw.state();
        filter.stage4 = draw.state();
        filter.previousInput = draw.state();
    }
    voice.dcBlocker.x1L = draw.state();
    voice.dcBlocker.y1L = draw.state();
    voice.amplitude = draw.state();
    if (draw.chance(30)) voice.oscillators[1].phase = 0xFFFFFFFFu - static_cast<uint32_t>(draw.upTo(1000));
    return voice;
}

class VoiceLanesTest : public ::testing::TestWithParam<SimdPath> {
protected:
    void SetUp() override {
        if (!simdPathAvailable(GetParam())) GTEST_SKIP() << "this processor lacks the path";
    }
    ~VoiceLanesTest() override { setSampleRate(44100); }
    VoiceLaneScratch scratch;
};

// Several groups in one call, as the engine passes a frame's groups: partial and full groups,
// on the AVX-512 path both widths at once, and half the time every voice with one filter and
// shaper choice, so that groups go through the filters together (two, three, four and five
// groups to a run).
TEST_P(VoiceLanesTest, GroupsMatchTheScalarVoiceBitForBit) {
    const SimdPath path = GetParam();
    const int lanes = laneCount(path);
    Draw draw;
    for (uint32_t rate : {44100u, 22050u, 96000u}) {
        setSampleRate(rate);
        for (int trial = 0; trial < 100; ++trial) {
            const int groupCount = 1 + draw.upTo(5);
            std::array<int, 6> counts{};
            int total = 0;
            for (int g = 0; g < groupCount; ++g) {
                counts[g] = draw.chance(40) ? lanes : 1 + draw.upTo(lanes - 1);
                total += counts[g];
            }
            const ChainChoice chain{static_cast<float>(draw.upTo(7)), static_cast<float>(draw.upTo(7)),
                                    static_cast<float>(draw.upTo(2)), static_cast<float>(draw.upTo(2))};
            const bool shared = draw.chance(50);
            std::vector<Voice> reference(static_cast<size_t>(total));
            for (Voice& voice : reference) {
                voice = randomVoice(draw, shared ? &chain : nullptr);
                ASSERT_TRUE(voiceFitsLanes(voice));
            }
            std::vector<Voice> grouped = reference;
            std::vector<std::array<float, kFrames>> expected(total), actual(total);
            std::array<float, kFrames> second{};
            std::vector<Voice*> voices(total);
            std::vector<float*> work(total);
            std::array<VoiceGroup, 6> groups{};
            for (int v = 0, g = 0; g < groupCount; v += counts[g], ++g) {
                groups[g] = {voices.data() + v, work.data() + v, counts[g]};
            }
            for (int v = 0; v < total; ++v) {
                voices[v] = &grouped[v];
                work[v] = actual[v].data();
            }
            const int n = draw.chance(20) ? 1 + draw.upTo(kMaxFrameLength - 1) % kFrames : kFrames;
            for (int frame = 0; frame < 3; ++frame) {
                for (int v = 0; v < total; ++v) {
                    Voice& voice = reference[v];
                    float* out = expected[v].data();
                    voice.renderOscillators(out, n, AuxInputs{});
                    voice.renderChain(out, second.data(), n);
                    voice.applyAmplitude(out, n);
                }
                renderVoiceLanes(path, groups.data(), groupCount, n, scratch);
                for (int v = 0; v < total; ++v) {
                    ASSERT_TRUE(sameBits(expected[v].data(), actual[v].data(), sizeof(float) * n))
                        << "rate " << rate << " trial " << trial << " frame " << frame << " voice " << v;
                    ASSERT_TRUE(sameBits(&reference[v], &grouped[v], sizeof(Voice)))
                        << "state, rate " << rate << " trial " << trial << " frame " << frame << " voice " << v;
                }
                for (Voice& voice : reference) voice.update();
                for (Voice& voice : grouped) voice.update();
            }
        }
    }
}

// Strips' stereo shapers side by side against each one alone: every count from 1 to 20 (partial
// groups, more than one pass), every mode (the filter modes of both families mixed with the
// others), resonances up to self-oscillation, tiny states, in place and into another buffer, two
// frames in a row.
TEST_P(VoiceLanesTest, StereoShapersMatchEachShaperAloneBitForBit) {
    Draw draw;
    for (int trial = 0; trial < 200; ++trial) {
        const int count = 1 + trial % 20;
        std::vector<Shaper> reference(count);
        for (Shaper& shaper : reference) {
            const float mode = static_cast<float>(draw.chance(70) ? 5 + draw.upTo(10) : draw.upTo(4));
            const float params[4] = {mode, draw.parameter(), draw.parameter(), draw.parameter()};
            shaper.setup(params);
            for (VoiceFilter* filter : {&shaper.filterA, &shaper.filterB}) {
                filter->low = draw.state();
                filter->band = draw.state();
                filter->stage2 = draw.state();
                filter->stage4 = draw.state();
                filter->previousInput = draw.state();
            }
        }
        std::vector<Shaper> grouped = reference;
        std::vector<std::array<StereoFrame, kFrames>> sources(count), expected(count), actual(count);
        for (auto& buffer : sources) {
            for (StereoFrame& frame : buffer) frame = {draw.state(), draw.state()};
        }
        const bool inPlace = draw.chance(50);
        if (inPlace) expected = actual = sources;
        std::vector<Shaper*> shapers(count);
        std::vector<const StereoFrame*> from(count);
        std::vector<StereoFrame*> to(count), referenceTo(count);
        for (int frame = 0; frame < 2; ++frame) {
            const int n = 1 + draw.upTo(kFrames / 2 - 1);
            const int at = frame * (kFrames / 2);
            for (int s = 0; s < count; ++s) {
                shapers[s] = &grouped[s];
                to[s] = actual[s].data() + at;
                from[s] = inPlace ? to[s] : sources[s].data() + at;
                Shaper* alone = &reference[s];
                referenceTo[s] = expected[s].data() + at;
                const StereoFrame* referenceFrom = inPlace ? referenceTo[s] : sources[s].data() + at;
                renderStereoShapers(SimdPath::Scalar, &alone, &referenceFrom, &referenceTo[s], 1, n);
            }
            renderStereoShapers(GetParam(), shapers.data(), from.data(), to.data(), count, n);
        }
        for (int s = 0; s < count; ++s) {
            ASSERT_TRUE(sameBits(expected[s].data(), actual[s].data(), sizeof expected[s])) << trial << " " << s;
            ASSERT_TRUE(sameBits(&reference[s], &grouped[s], sizeof(Shaper))) << trial << " " << s;
        }
    }
}

// Channels' stereo DC blockers side by side: every count from 1 to 16 (full and partial
// register pairs, the odd one out), states and inputs near subnormal sizes, two frames in a row.
TEST_P(VoiceLanesTest, StereoDcBlockersMatchTheScalarBlockersBitForBit) {
    Draw draw;
    for (int trial = 0; trial < 200; ++trial) {
        const int count = 1 + trial % 16;
        std::vector<DcBlocker> reference(count);
        for (DcBlocker& blocker : reference) {
            blocker.x1L = draw.state();
            blocker.y1L = draw.state();
            blocker.x1R = draw.state();
            blocker.y1R = draw.state();
        }
        std::vector<DcBlocker> grouped = reference;
        std::vector<std::array<StereoFrame, kFrames>> expected(count);
        for (auto& buffer : expected) {
            for (StereoFrame& frame : buffer) frame = {draw.state(), draw.state()};
        }
        std::vector<std::array<StereoFrame, kFrames>> actual = expected;
        std::vector<DcBlocker*> blockers(count);
        std::vector<StereoFrame*> buffers(count);
        for (int b = 0; b < count; ++b) {
            blockers[b] = &grouped[b];
            buffers[b] = actual[b].data();
        }
        for (int frame = 0; frame < 2; ++frame) {
            const int n = 1 + draw.upTo(kFrames / 2 - 1);
            const int at = frame * (kFrames / 2);
            for (int b = 0; b < count; ++b) {
                reference[b].renderStereo(expected[b].data() + at, expected[b].data() + at, n);
                buffers[b] = actual[b].data() + at;
            }
            renderStereoDcBlockers(GetParam(), blockers.data(), buffers.data(), count, n);
        }
        for (int b = 0; b < count; ++b) {
            ASSERT_TRUE(sameBits(expected[b].data(), actual[b].data(), sizeof expected[b])) << trial << " " << b;
            ASSERT_TRUE(sameBits(&reference[b], &grouped[b], sizeof(DcBlocker))) << trial << " " << b;
        }
    }
}

// The lanes' sine against sine(), whose turn remainder goes through double: a spread over every
// bit pattern, and the hard places of the lanes' float reduction, densely. Those are the floats
// next to each multiple of 2π and of π (where the remainder nears zero or the nearest turn
// changes), the small values whose turn is 0 or ±1, the subnormals and the edge at 8192, past
// which lanes take the double reduction, and 2^31, past which they take the scalar one.
TEST_P(VoiceLanesTest, TheSineInLanesGivesTheBitsOfSine) {
    std::vector<float> inputs;
    for (uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 4093) inputs.push_back(std::bit_cast<float>(static_cast<uint32_t>(bits)));
    const auto around = [&](float centre, int span) {
        for (const float sign : {1.0f, -1.0f}) {
            const float x = sign * centre;
            float below = x;
            float above = x;
            inputs.push_back(x);
            for (int k = 0; k < span; ++k) {
                below = std::nextafter(below, -INFINITY);
                above = std::nextafter(above, INFINITY);
                inputs.push_back(below);
                inputs.push_back(above);
            }
        }
    };
    for (int turns = 0; turns <= 1400; ++turns) {
        const double turn = static_cast<double>(kTwoPi);
        around(static_cast<float>(turns * turn), 24);
        around(static_cast<float>((turns + 0.5) * turn), 24);
    }
    for (const float edge : {0.0f, 0x1p-149f, 0x1p-126f, kHalfPi, kPi, 4.0f, kThreeHalfPi, 8192.0f, 0x1p31f, INFINITY}) {
        around(edge, 2000);
    }
    inputs.push_back(std::nanf(""));
    std::vector<float> expected(inputs.size());
    std::vector<float> actual(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) expected[i] = sine(inputs[i]);
    sineLanes(GetParam(), inputs.data(), actual.data(), static_cast<int>(inputs.size()));
    for (size_t i = 0; i < inputs.size(); ++i) {
        ASSERT_TRUE(sameBits(&expected[i], &actual[i], sizeof(float))) << std::hexfloat << inputs[i] << " gives "
                                                                       << actual[i] << ", not " << expected[i];
    }
}

// Voices the lanes leave to the scalar path: the shaper's stateful and filter modes, aux inputs.
TEST(VoiceLanesFit, StatefulShaperModesAndAuxInputsStayScalar) {
    Params p{};
    for (float mode : {3.0f, 4.0f, 5.0f, 15.0f, 0.0f, 1.0f, 2.0f, 16.0f}) {
        p[28] = mode;
        Voice voice;
        voice.setup(p.data());
        const bool fits = (static_cast<int>(mode) & 15) <= 2;
        EXPECT_EQ(fits, voiceFitsLanes(voice)) << mode;
    }
    p[28] = 0;
    for (float waveform : {6.0f, 7.0f}) {
        p[8] = waveform;
        Voice voice;
        voice.setup(p.data());
        EXPECT_FALSE(voiceFitsLanes(voice)) << waveform;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, VoiceLanesTest, ::testing::Values(SimdPath::Sse2, SimdPath::Avx2, SimdPath::Avx512),
                         [](const auto& info) { return std::string(simdPathName(info.param)); });

}  // namespace
}  // namespace zimblo::dsp
