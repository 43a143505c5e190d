#include "dsp/oscillator.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>

#include "dsp/maths.h"
#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

namespace zimblo::dsp {
namespace {

constexpr int kBlock = 128;
using Block = std::array<float, kBlock>;

// W, F, H, G with no transpose or detune (S = D = 64 unless given), at note 60.
Oscillator makeOscillator(float w, float f, float h, float g, float note = 60, float s = 64, float d = 64) {
    Oscillator osc;
    osc.note = note;
    const std::array<float, 6> params = {w, f, s, d, h, g};
    osc.setup(params.data());
    return osc;
}

Block renderBlock(Oscillator& osc, float fill = 0.0f, const AuxInputs& aux = {}) {
    Block work;
    work.fill(fill);
    osc.render(work.data(), kBlock, aux);
    return work;
}

// ∫₀ˣ of the ideal shape (g = 1) on [0, 1], triangle-saw or pulse; boxMean is the exact mean
// over [φ − f, φ], wrapping below 0.
double shapeIntegral(double x, double c, bool pulse) {
    if (pulse) return x < c ? x : c - (x - c);
    return x < c ? -x + x * x / c : (x - c) - (x - c) * (x - c) / (1.0 - c);
}
double boxMean(double phi, double f, double c, bool pulse) {
    const double start = phi - f;
    const double wrap = start >= 0.0 ? 0.0 : 1.0;
    const double before = shapeIntegral(start + wrap, c, pulse) - wrap * shapeIntegral(1.0, c, pulse);
    return (shapeIntegral(phi, c, pulse) - before) / f;
}

TEST(OscillatorSetupTest, PitchColourAndConversions) {
    const std::pair<float, uint32_t> increments[] = {
        {48, 6370030u}, {60, 12740060u}, {72, 25480120u}, {149, 0x80000000u}};  // 149 saturates
    for (const auto& [note, inc] : increments) EXPECT_EQ(makeOscillator(1, 0, 0, 128, note).increment, inc);
    EXPECT_EQ(makeOscillator(4, 0, 0, 128).noiseFrequency, 0x1p-5f);
    // S − 64 semitones plus (D − 64)/128: S = 76, D = 96 is 12.25 semitones up.
    const Oscillator up = makeOscillator(1, 0, 0, 128, 60, 76, 96);
    EXPECT_EQ(up.transpose, 12.25f);
    EXPECT_NEAR(up.increment, 25480120.0 * std::exp2(0.25 / 12.0), 2.0);
    setSampleRate(22050);
    const Oscillator slow = makeOscillator(1, 0, 0, 128);
    setSampleRate(44100);
    EXPECT_TRUE(slow.increment == 25480120u && slow.noiseFrequency == 0x1p-4f);
    const std::pair<float, uint32_t> colours[] = {{64, 0x80000000u}, {127, 0xFE000000u}, {128, 0u}};
    for (const auto& [h, t] : colours) EXPECT_EQ(makeOscillator(1, 0, h, 0).colourThreshold, t) << h;
    const Oscillator rounded = makeOscillator(2.5f, 3.5f, 32, 96);  // nearest, ties to even
    EXPECT_TRUE(rounded.waveform == 2 && rounded.flags == 4 && rounded.gain == 0.75f);
    EXPECT_EQ(rounded.noiseDamping, 0.5f);
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
            ASSERT_NEAR(work[i], boxMean(phi, f, c, pulse), 2e-5 + 2e-6 / f) << trial << " " << i;
        }
        EXPECT_EQ(osc.phase, start + static_cast<uint32_t>(kBlock) * osc.increment);
    }
}

TEST(OscillatorBoxFilterTest, WholeCyclesSumToTheMeanAndExtremesStayBounded) {
    for (const float colour : {0.0f, 16.0f, 64.0f, 100.0f, 127.0f}) {
        Oscillator triangle = makeOscillator(1, 0, colour, 64), pulse = makeOscillator(2, 0, colour, 64);
        triangle.increment = pulse.increment = 1u << 26;  // two cycles per block
        const Block t = renderBlock(triangle), p = renderBlock(pulse);
        double triangleSum = 0.0, pulseSum = 0.0;
        for (int i = 0; i < kBlock; ++i) triangleSum += t[i], pulseSum += p[i];
        EXPECT_NEAR(triangleSum, 0.0, 1e-4) << colour;
        EXPECT_NEAR(pulseSum, kBlock * 0.5 * (2.0 * colour / 128.0 - 1.0), 1e-4) << colour;
        for (int i = 0; colour == 64.0f && i < kBlock; ++i) {  // a square: 32 high, 32 low
            EXPECT_EQ(p[i], (i % 64 >= 1 && i % 64 <= 32) ? 0.5f : -0.5f) << i;
        }
        for (const float w : {1.0f, 2.0f, 3.0f}) {  // saturated: every sample spans half a cycle
            Oscillator fast = makeOscillator(w, 0, colour, 128, 200);
            fast.phase = 0x12345678u;
            for (const float y : renderBlock(fast)) EXPECT_LE(std::fabs(y), 1.0f + 1e-5f);
        }
    }
    // Below 2^9 the increment's fraction is 0: a sample crossing an edge takes the value of the
    // segment reached rather than 0/0. Pitch −128: note 0 with both transposes at their lowest.
    Oscillator triangle = makeOscillator(1, 0, 64, 128, -128), pulse = makeOscillator(2, 0, 64, 128, -128);
    ASSERT_TRUE(triangle.increment > 0u && triangle.increment < 512u);
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
        Oscillator sine = makeOscillator(3, 0, 0, 128), modulated = makeOscillator(5, 0, 0, 128);
        const Block s = renderBlock(sine), m = renderBlock(modulated, fill);
        for (int i = 0; i < kBlock; ++i) {
            const double expected = std::sin(6.283185307179586 * fraction(i * 12740060u));
            EXPECT_NEAR(s[i], expected, 2e-4) << i;
            EXPECT_NEAR(m[i], fill == 0.0f ? expected : -expected, 3e-4) << i;  // 2·m: half a cycle
        }
        EXPECT_TRUE(sine.phase == 128u * 12740060u && modulated.phase == sine.phase);
    }
}

TEST(OscillatorCombineTest, AddMultiplyReplaceAndOff) {
    for (const float w : {1.0f, 2.0f, 3.0f, 4.0f}) {
        Oscillator adding = makeOscillator(w, 0, 40, 100), twice = makeOscillator(w, 1, 40, 100);
        Oscillator onZero = twice;
        const Block added = renderBlock(adding), doubled = renderBlock(twice, 2.0f);
        const Block zero = renderBlock(onZero);
        for (int i = 0; i < kBlock; ++i) {
            EXPECT_EQ(doubled[i], 2.0f * added[i]) << w;
            EXPECT_EQ(zero[i], 0.0f) << w;
        }
    }
    // Only the low 3 bits count: 8 is off (buffer and phase untouched), 11 the sine.
    for (const float w : {0.0f, 8.0f}) {
        Oscillator off = makeOscillator(w, 0, 0, 128);
        off.phase = 777u;
        for (const float y : renderBlock(off, 0.5f)) EXPECT_EQ(y, 0.5f);
        EXPECT_EQ(off.phase, 777u);
    }
    Oscillator eleven = makeOscillator(11, 0, 0, 128), sine = makeOscillator(3, 0, 0, 128);
    EXPECT_EQ(renderBlock(eleven), renderBlock(sine));
    // Aux inputs replace the buffer with 0.6·g·(left + right); a missing bus is silence.
    std::array<StereoFrame, kBlock> bus1{}, bus2{};
    for (int i = 0; i < kBlock; ++i) bus1[i] = {0.01f * i, 0.5f}, bus2[i] = {-0.25f, 0.125f * (i % 8)};
    const AuxInputs aux{bus1.data(), bus2.data()};
    Oscillator first = makeOscillator(6, 0, 0, 64), second = makeOscillator(7, 0, 0, 128);
    Oscillator ring = makeOscillator(6, 1, 0, 64), unconnected = second;
    const Block one = renderBlock(first, 9.0f, aux), two = renderBlock(second, 9.0f, aux);
    const Block three = renderBlock(ring, 2.0f, aux);
    const Block silent = renderBlock(unconnected, 9.0f, AuxInputs{bus1.data(), nullptr});
    for (int i = 0; i < kBlock; ++i) {
        EXPECT_EQ(one[i], 0.3f * (bus1[i].left + bus1[i].right)) << i;
        EXPECT_EQ(two[i], 0.6f * (bus2[i].left + bus2[i].right)) << i;
        EXPECT_EQ(three[i], 2.0f * one[i]) << i;
        EXPECT_EQ(silent[i], 0.0f) << i;
    }
}

TEST(OscillatorNoiseTest, SeededPerSlotThroughTheFilter) {
    Oscillator a = makeOscillator(4, 0, 0, 128);
    a.phase = 99u;
    const Block first = renderBlock(a);
    EXPECT_EQ(a.phase, 99u);  // noise ignores the phase
    // Colour 0 (damping 1) from rest with slot 0's seed.
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
    Oscillator c = makeOscillator(4, 0, 0, 128), d = c;
    c.reset(1);
    const Block slot1 = renderBlock(c);
    EXPECT_NE(slot1, first);
    c.reset(2);
    d.reset(7);  // out of range: the last slot
    EXPECT_EQ(renderBlock(c), renderBlock(d));
    a.reset(0);
    EXPECT_EQ(renderBlock(a), first);
    EXPECT_EQ(a.phase, 0u);
}

TEST(OscillatorNoiseTest, BelowTheReferenceRateTheNoiseFilterStaysStable) {
    // Transpose 127 gives F = 0.95 at 44100 Hz; the rate scale 2 of 22050 Hz would make it
    // 1.89, where the one-pass filter with damping 1 (colour 0) diverges within a second.
    // F is held at 1; below that it keeps its exact scaled value (2^-5 · 2 at transpose 64).
    setSampleRate(22050);
    Oscillator bright = makeOscillator(4, 0, 0, 128, 60, 127);
    const Oscillator plain = makeOscillator(4, 0, 0, 128);
    float peak = 0.0f;
    for (int block = 0; block < 22050 / kBlock; ++block)
        for (float v : renderBlock(bright)) peak = std::isfinite(v) ? std::max(peak, std::fabs(v)) : 1e30f;
    setSampleRate(44100);
    EXPECT_EQ(bright.noiseFrequency, 1.0f);
    EXPECT_EQ(plain.noiseFrequency, 0x1p-4f);
    EXPECT_LE(peak, 16.0f);  // bounded; the unheld filter reaches infinity
    EXPECT_EQ(makeOscillator(4, 0, 0, 128, 60, 127).noiseFrequency, exp2Ten(127.0f / 128.0f));
}

TEST(OscillatorBlockTest, OneBlockEqualsTwoShorterOnes) {
    for (const float w : {1.0f, 2.0f, 3.0f, 4.0f, 5.0f}) {
        Oscillator whole = makeOscillator(w, 0, 37, 100), split = whole;
        Block a, b;
        for (int i = 0; i < kBlock; ++i) a[i] = b[i] = 0.001f * static_cast<float>(i);
        whole.render(a.data(), kBlock, {});
        split.render(b.data(), 50, {});
        split.render(b.data() + 50, kBlock - 50, {});
        EXPECT_EQ(a, b) << w;
    }
}

}  // namespace
}  // namespace zimblo::dsp
