#include "dsp/oscillator.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>

#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

namespace zimblo::dsp {
namespace {

constexpr int kBlock = 128;
constexpr uint32_t kSixtyFourPerCycle = 1u << 26;
using Block = std::array<float, kBlock>;

// W, F, H, G with no transpose or detune, at note 60 (increment 12740060).
Oscillator makeOscillator(float w, float f, float h, float g, float note = 60.0f) {
    Oscillator osc;
    osc.note = note;
    const std::array<float, 6> params = {w, f, 64.0f, 64.0f, h, g};
    osc.setup(params.data());
    return osc;
}

Block renderBlock(Oscillator& osc, float fill = 0.0f, const AuxInputs& aux = {}) {
    Block work;
    work.fill(fill);
    osc.render(work.data(), kBlock, aux);
    return work;
}

// ∫₀ˣ of the ideal shape (g = 1) for x in [0, 1]: the triangle-saw −1 → +1 at c → −1, or the
// pulse; the exact mean over [φ − f, φ] follows, wrapping below 0.
double shapeIntegral(double x, double c, bool pulse) {
    if (pulse) return x < c ? x : c - (x - c);
    return x < c ? -x + x * x / c : (x - c) - (x - c) * (x - c) / (1.0 - c);
}
double boxMean(double phi, double f, double c, bool pulse) {
    const double start = phi - f;
    const double before = start >= 0.0 ? shapeIntegral(start, c, pulse)
                                       : shapeIntegral(start + 1.0, c, pulse) - shapeIntegral(1.0, c, pulse);
    return (shapeIntegral(phi, c, pulse) - before) / f;
}

TEST(OscillatorSetupTest, PitchColourAndConversions) {
    EXPECT_EQ(makeOscillator(1, 0, 0, 128, 48).increment, 6370030u);
    EXPECT_EQ(makeOscillator(1, 0, 0, 128, 60).increment, 12740060u);
    EXPECT_EQ(makeOscillator(1, 0, 0, 128, 72).increment, 25480120u);
    EXPECT_EQ(makeOscillator(1, 0, 0, 128, 149).increment, 0x80000000u);  // saturated
    EXPECT_EQ(makeOscillator(4, 0, 0, 128).noiseFrequency, 0x1p-5f);
    // S − 64 semitones plus (D − 64)/128: S = 76, D = 96 is 12.25 semitones up.
    Oscillator up;
    up.note = 60.0f;
    const std::array<float, 6> params = {1, 0, 76, 96, 0, 128};
    up.setup(params.data());
    EXPECT_EQ(up.transpose, 12.25f);
    EXPECT_NEAR(up.increment, 25480120.0 * std::exp2(0.25 / 12.0), 2.0);
    setSampleRate(22050);
    const Oscillator slow = makeOscillator(1, 0, 0, 128);
    setSampleRate(44100);
    EXPECT_TRUE(slow.increment == 25480120u && slow.noiseFrequency == 0x1p-4f);

    EXPECT_EQ(makeOscillator(1, 0, 64, 0).colourThreshold, 0x80000000u);
    EXPECT_EQ(makeOscillator(1, 0, 127, 0).colourThreshold, 0xFE000000u);
    EXPECT_EQ(makeOscillator(1, 0, 128, 0).colourThreshold, 0u);  // wraps
    EXPECT_EQ(makeOscillator(4, 0, 32, 0).noiseDamping, 0.5f);
    const Oscillator rounded = makeOscillator(2.5f, 3.5f, 0, 96);  // nearest, ties to even
    EXPECT_TRUE(rounded.waveform == 2 && rounded.flags == 4 && rounded.gain == 0.75f);
}

TEST(OscillatorBoxFilterTest, EverySampleIsTheExactMeanOfTheShape) {
    uint32_t random = 12345u;
    for (int trial = 0; trial < 512; ++trial) {
        const bool pulse = (trial & 1) != 0;
        Oscillator osc = makeOscillator(pulse ? 2 : 1, 0, static_cast<float>((trial >> 1) & 127), 128);
        random = random * 1664525u + 1013904223u;
        osc.increment = (random >> 1) | (1u << 24);  // f from 2^-8 to 1/2
        osc.phase = random * 2654435761u;
        const uint32_t start = osc.phase;
        const Block work = renderBlock(osc);
        const double c = fraction(osc.colourThreshold), f = fraction(osc.increment);
        for (int i = 0; i < kBlock; ++i) {
            const double phi = fraction(start + static_cast<uint32_t>(i) * osc.increment);
            ASSERT_NEAR(work[i], boxMean(phi, f, c, pulse), 2e-5 + 2e-6 / f)
                << (pulse ? "pulse" : "triangle-saw") << ", trial " << trial << ", sample " << i;
        }
        EXPECT_EQ(osc.phase, start + static_cast<uint32_t>(kBlock) * osc.increment);
    }
}

TEST(OscillatorBoxFilterTest, WholeCyclesAndColourExtremes) {
    for (const float colour : {0.0f, 16.0f, 64.0f, 100.0f, 127.0f}) {
        Oscillator triangle = makeOscillator(1, 0, colour, 64);
        Oscillator pulse = makeOscillator(2, 0, colour, 64);
        triangle.increment = pulse.increment = kSixtyFourPerCycle;  // two cycles per block
        const Block t = renderBlock(triangle), p = renderBlock(pulse);
        double triangleSum = 0.0, pulseSum = 0.0;
        for (int i = 0; i < kBlock; ++i) triangleSum += t[i], pulseSum += p[i];
        EXPECT_NEAR(triangleSum, 0.0, 1e-4) << colour;
        EXPECT_NEAR(pulseSum, kBlock * 0.5 * (2.0 * colour / 128.0 - 1.0), 1e-4) << colour;
        for (int i = 0; colour == 64.0f && i < kBlock; ++i) {  // a square: 32 high, 32 low
            EXPECT_EQ(p[i], (i % 64 >= 1 && i % 64 <= 32) ? 0.5f : -0.5f) << i;
        }
    }
    Oscillator low = makeOscillator(2, 0, 0, 32);  // colour 0: −g throughout
    for (int block = 0; block < 4; ++block) {
        for (const float y : renderBlock(low)) EXPECT_EQ(y, -0.25f);
    }
}

TEST(OscillatorBoxFilterTest, ExtremeIncrementsStayFinite) {
    for (const float w : {1.0f, 2.0f, 3.0f}) {  // saturated: every sample spans half a cycle
        for (const float colour : {0.0f, 40.0f, 64.0f, 127.0f}) {
            Oscillator osc = makeOscillator(w, 0, colour, 128, 200);
            osc.phase = 0x12345678u;
            for (const float y : renderBlock(osc)) EXPECT_LE(std::fabs(y), 1.0f + 1e-5f);
        }
    }
    // Below 2^9 the increment's fraction is 0: a sample crossing an edge takes the value of the
    // segment reached (peak, trough, pulse level) rather than 0/0. Pitch −128 is note 0 with the
    // voice and oscillator transposes at their lowest.
    Oscillator triangle = makeOscillator(1, 0, 64, 128, -128);
    Oscillator pulse = makeOscillator(2, 0, 64, 128, -128);
    ASSERT_GT(triangle.increment, 0u);
    ASSERT_LT(triangle.increment, 512u);
    for (const uint32_t phase : {0x80000005u, 5u}) {  // just past the peak, the cycle start
        float y[2] = {0.0f, 0.0f};
        triangle.phase = pulse.phase = phase;
        triangle.render(&y[0], 1, {});
        pulse.render(&y[1], 1, {});
        EXPECT_EQ(y[0], phase == 5u ? -1.0f : 1.0f);
        EXPECT_EQ(y[1], -y[0]);
    }
}

TEST(OscillatorSineTest, SineAndPhaseModulatedSineFollowThePhase) {
    for (const float fill : {0.0f, 0.25f}) {
        Oscillator sine = makeOscillator(3, 0, 0, 128);
        Oscillator modulated = makeOscillator(5, 0, 0, 128);
        const Block s = renderBlock(sine), m = renderBlock(modulated, fill);
        for (int i = 0; i < kBlock; ++i) {
            const double expected = std::sin(6.283185307179586 * fraction(i * 12740060u));
            EXPECT_NEAR(s[i], expected, 2e-4) << i;
            // m = 0.25 shifts the phase by 2·m = half a cycle.
            EXPECT_NEAR(m[i], fill == 0.0f ? expected : -expected, 3e-4) << i;
        }
        EXPECT_EQ(sine.phase, 128u * 12740060u);
        EXPECT_EQ(modulated.phase, sine.phase);
    }
}

TEST(OscillatorCombineTest, AddMultiplyReplaceAndOff) {
    for (const float w : {1.0f, 2.0f, 3.0f, 4.0f}) {
        Oscillator adding = makeOscillator(w, 0, 40, 100);
        Oscillator twice = makeOscillator(w, 1, 40, 100);
        Oscillator onZero = makeOscillator(w, 1, 40, 100);
        const Block added = renderBlock(adding), doubled = renderBlock(twice, 2.0f);
        const Block zero = renderBlock(onZero);
        for (int i = 0; i < kBlock; ++i) {
            EXPECT_EQ(doubled[i], 2.0f * added[i]) << "waveform " << w;
            EXPECT_EQ(zero[i], 0.0f) << "waveform " << w;
        }
    }
    // Only the low 3 bits count: 8 is off (buffer and phase untouched), 11 the sine.
    for (const float w : {0.0f, 8.0f}) {
        Oscillator off = makeOscillator(w, 0, 0, 128);
        off.phase = 777u;
        for (const float y : renderBlock(off, 0.5f)) EXPECT_EQ(y, 0.5f);
        EXPECT_EQ(off.phase, 777u);
    }
    Oscillator eleven = makeOscillator(11, 0, 0, 128), three = makeOscillator(3, 0, 0, 128);
    EXPECT_EQ(renderBlock(eleven), renderBlock(three));
}

TEST(OscillatorNoiseTest, SeededPerSlotThroughTheFilter) {
    Oscillator a = makeOscillator(4, 0, 0, 128);
    a.phase = 99u;
    const Block first = renderBlock(a);
    EXPECT_EQ(a.phase, 99u);
    // Colour 0 (damping 1) from rest, slot 0's seed, LCG 0x0BB38435·s + 0x3619636B.
    uint32_t seed = 0xDEADBEEFu;
    float low = 0.0f, band = 0.0f;
    for (int i = 0; i < 4; ++i) {
        seed = seed * 0x0BB38435u + 0x3619636Bu;
        const float w = static_cast<float>(seed >> 9) / 4194304.0f - 1.0f;
        low = low + 0x1p-5f * band;
        const float high = (w - band) - low;
        band = band + 0x1p-5f * high;
        EXPECT_EQ(first[i], band + (high + low)) << i;
    }
    Oscillator b = makeOscillator(4, 0, 0, 128), c = b, d = b;
    EXPECT_EQ(renderBlock(b), first);
    c.reset(1);
    d.reset(1);
    const Block slot1 = renderBlock(c);
    EXPECT_EQ(renderBlock(d), slot1);
    EXPECT_NE(slot1, first);
    c.reset(2);
    d.reset(7);  // out of range: the last slot
    EXPECT_EQ(renderBlock(c), renderBlock(d));
    a.reset(0);
    EXPECT_EQ(renderBlock(a), first);
    EXPECT_EQ(a.phase, 0u);
}

TEST(OscillatorAuxTest, ReadsTheBusesScaledByGain) {
    std::array<StereoFrame, kBlock> bus1{}, bus2{};
    for (int i = 0; i < kBlock; ++i) bus1[i] = {0.01f * i, 0.5f}, bus2[i] = {-0.25f, 0.125f * (i % 8)};
    const AuxInputs aux{bus1.data(), bus2.data()};
    Oscillator first = makeOscillator(6, 0, 0, 64), second = makeOscillator(7, 0, 0, 128);
    Oscillator ring = makeOscillator(6, 1, 0, 64), unconnected = makeOscillator(7, 0, 0, 128);
    const Block one = renderBlock(first, 9.0f, aux), two = renderBlock(second, 9.0f, aux);
    const Block three = renderBlock(ring, 2.0f, aux);
    const Block silent = renderBlock(unconnected, 9.0f, AuxInputs{bus1.data(), nullptr});
    for (int i = 0; i < kBlock; ++i) {
        EXPECT_EQ(one[i], 0.3f * (bus1[i].left + bus1[i].right)) << i;
        EXPECT_EQ(two[i], 0.6f * (bus2[i].left + bus2[i].right)) << i;
        EXPECT_EQ(three[i], 2.0f * one[i]) << i;
        EXPECT_EQ(silent[i], 0.0f) << i;
    }
    EXPECT_EQ(first.phase, 0u);
}

TEST(OscillatorBlockTest, OneBlockEqualsTwoShorterOnes) {
    for (const float w : {1.0f, 2.0f, 3.0f, 4.0f, 5.0f}) {
        Oscillator whole = makeOscillator(w, 0, 37, 100), split = whole;
        Block a, b;
        for (int i = 0; i < kBlock; ++i) a[i] = b[i] = 0.001f * static_cast<float>(i);
        whole.render(a.data(), kBlock, {});
        split.render(b.data(), 50, {});
        split.render(b.data() + 50, kBlock - 50, {});
        EXPECT_EQ(a, b) << "waveform " << w;
        EXPECT_TRUE(whole.phase == split.phase && whole.noiseSeed == split.noiseSeed &&
                    whole.noiseLow == split.noiseLow && whole.noiseBand == split.noiseBand);
    }
}

}  // namespace
}  // namespace zimblo::dsp
