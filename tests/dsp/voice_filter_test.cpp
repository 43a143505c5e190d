#include "dsp/voice_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "dsp/maths.h"
#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

namespace zimblo::dsp {
namespace {

constexpr float kEps = kDenormalGuard;
using Signal = std::vector<float>;

VoiceFilter makeFilter(float type, float cutoff, float resonance) {
    VoiceFilter filter;
    const float params[3] = {type, cutoff, resonance};
    filter.setup(params);
    return filter;
}

Signal run(VoiceFilter& filter, const Signal& x) {
    Signal y(x.size());
    filter.render(x.data(), y.data(), static_cast<int>(x.size()));
    return y;
}

Signal testSignal(int n) {
    Signal x(n);
    for (int i = 0; i < n; ++i) x[i] = 0.2f + 0.5f * std::sin(0.05f * i) + 0.3f * std::sin(2.3f * i);
    return x;
}

TEST(VoiceFilter, SetupCoefficientsAndTheGuard) {
    VoiceFilter filter = makeFilter(1, 128, 0);
    EXPECT_TRUE(filter.frequency == 1.0f && filter.damping == 1.0f);
    EXPECT_EQ(run(filter, {0.0f})[0], kEps);  // silence comes out as ε, with band 0
    EXPECT_EQ(filter.band, 0.0f);
    // Ladder at cutoff 128: g = 0.25, k = 0.4, m = 1 − 2k; Q = 128 gives r = 9.1.
    const float ladder[3] = {7, 128, 128};
    filter.setup(ladder);
    EXPECT_TRUE(filter.poleGain == 0.4f && filter.poleFeedback == 1.0f - 0.8f);
    EXPECT_NEAR(filter.resonanceFeedback, 9.1f, 2e-6f);
    EXPECT_EQ(filter.frequency, 1.0f);  // the other family is untouched
    // f = 2^-5, q = 1 on a constant 1: low-pass 14.75·ε below 1, band-pass ε/(2f) = 2^-14.
    VoiceFilter low = makeFilter(1, 64, 0), band = makeFilter(2, 64, 0);
    EXPECT_NEAR(run(low, Signal(4000, 1.0f)).back(), 1.0f - 14.75f * kEps, 2e-7f);
    EXPECT_NEAR(run(band, Signal(4000, 1.0f)).back(), 0x1p-14f, 1e-7f);
}

TEST(VoiceFilter, ImpulseResponsesFollowTheTwoPasses) {
    // Worked by hand in exact arithmetic, guard included. State-variable at f = 0.5, q = 0.5:
    // low, band, high per sample; notch and type 5 are their sums.
    constexpr float kSvf[4][3] = {{0.249998093f, 0.750005722f, 0.500003815f},
                                  {0.750000954f, -0.187492847f, -0.875000954f},
                                  {0.421879172f, -0.562494993f, -0.187503815f},
                                  {-0.105463773f, -0.316403652f, 0.351559222f}};
    const Signal impulse = {1, 0, 0, 0};
    for (int type = 1; type <= 5; ++type) {
        VoiceFilter filter = makeFilter(static_cast<float>(type), 0, 64);
        filter.frequency = 0.5f;
        const Signal y = run(filter, impulse);
        for (int i = 0; i < 4; ++i) {
            const float* w = kSvf[i];
            const float expected[6] = {0, w[0], w[1], w[2], w[0] + w[2], w[0] + w[1] + w[2]};
            EXPECT_NEAR(y[i], expected[type], 2e-6f) << type << " " << i;
        }
    }
    // Ladder at k = 0.4, m = 0.2, without and with resonance (Q = 64: r = 4.55); the first
    // pass of a sample sees the previous raw input, the second the sample itself.
    constexpr float kLadder[2][4] = {{0.147929769f, 0.491715988f, 0.271462218f, 0.049976656f},
                                     {0.144980845f, 0.384193921f, -0.220656472f, -0.233893961f}};
    for (int q = 0; q < 2; ++q) {
        VoiceFilter low = makeFilter(6, 128, 64.0f * q), high = makeFilter(7, 128, 64.0f * q);
        const Signal lowOut = run(low, impulse), highOut = run(high, impulse);
        for (int i = 0; i < 4; ++i) {
            EXPECT_NEAR(lowOut[i], kLadder[q][i], 1e-6f) << q << " " << i;
            EXPECT_EQ(highOut[i], impulse[i] - lowOut[i]) << q << " " << i;
        }
    }
}

TEST(VoiceFilter, SplitBlocksStrideResetAndTypeChangesAreInvariants) {
    const Signal x = testSignal(256);
    Signal interleaved(512, -3.0f);
    for (int i = 0; i < 256; ++i) interleaved[2 * i] = x[i];
    for (float type : {0.0f, 2.0f, 5.0f, 6.0f, 7.0f}) {
        const VoiceFilter reference = makeFilter(type, 100, 90);
        VoiceFilter whole = reference, split = reference, side = reference;
        const Signal one = run(whole, x);
        if (type == 0.0f) {
            EXPECT_EQ(one, x);  // off copies exactly
        }
        Signal parts(x);
        split.render(parts.data(), parts.data(), 1);
        split.render(parts.data() + 1, parts.data() + 1, 127);
        split.render(parts.data() + 128, parts.data() + 128, 128);
        EXPECT_EQ(parts, one) << type;
        // One side of an interleaved buffer: the mono result, the other side untouched.
        Signal out(512, 7.0f);
        side.stride = 2;
        side.render(interleaved.data(), out.data(), 256);
        for (int i = 0; i < 256; ++i) {
            EXPECT_EQ(out[2 * i], one[i]) << type;
            EXPECT_EQ(out[2 * i + 1], 7.0f) << type;
        }
        side.reset();  // back to fresh, stride 1
        EXPECT_EQ(run(side, x), one) << type;
    }
    // A ladder episode leaves the state-variable states where they were.
    const float svf[3] = {1, 90, 50}, ladder[3] = {6, 30, 100};
    VoiceFilter switching = makeFilter(1, 90, 50), steady = switching;
    run(switching, x);
    run(steady, x);
    switching.setup(ladder);
    run(switching, x);
    switching.setup(svf);
    EXPECT_EQ(run(switching, x), run(steady, x));
}

TEST(VoiceFilter, TypesBeyondSevenAreBoundedAndFinite) {
    // Set-up gives 8..15 ladder coefficients; from fresh, type 9's state-variable low-pass
    // (f = q = 0) drifts by −ε per sample and stalls at exactly −64, where ε is half a step.
    VoiceFilter drifting = makeFilter(9, 100, 100);
    EXPECT_EQ(drifting.poleGain, makeFilter(6, 100, 100).poleGain);
    Signal block(4096);
    for (int i = 0; i < (1 << 24) / 4096 + 2; ++i) {
        std::fill(block.begin(), block.end(), 0.5f);
        drifting.render(block.data(), block.data(), 4096);
    }
    EXPECT_EQ(block.back(), -64.0f);
    // A low byte of 128 or more reads as negative: state-variable coefficients.
    const VoiceFilter negative = makeFilter(134, 64, 32);
    EXPECT_TRUE(negative.frequency == 0x1p-5f && negative.poleGain == 0.0f);
    const Signal x = testSignal(256);
    VoiceFilter copy = makeFilter(8, 100, 100);
    EXPECT_EQ(run(copy, x), x);
    for (float type : {9.0f, 10.0f, 11.0f, 13.0f, 14.0f, 15.0f, 128.0f, 134.0f, 255.0f}) {
        VoiceFilter filter = makeFilter(type, 128, 128);
        float peak = 0.0f;
        for (int frame = 0; frame < 500; ++frame) {
            for (float v : run(filter, x)) peak = std::isfinite(v) ? std::max(peak, std::fabs(v)) : 1e30f;
        }
        EXPECT_LE(peak, 3.0f) << type;  // 128000·ε of drift at most, beyond the input
    }
}

TEST(VoiceFilter, BelowTheReferenceRateTheCutoffStopsAtTheTopOfItsRange) {
    // At 22050 Hz the rate scale 2 would take cutoff 127 to f = 1.89: with no resonance
    // (q = 1) the two-pass filter grows without bound from f = 1.24 on. The coefficient is
    // held at 1 (cutoff 128 at 44100 Hz), or at the 44100 Hz value when that is larger.
    setSampleRate(22050);
    const VoiceFilter open = makeFilter(1, 128, 0);
    const VoiceFilter below = makeFilter(1, 100, 0);
    const VoiceFilter beyond = makeFilter(1, 130, 0);
    const VoiceFilter ladder = makeFilter(6, 127, 64);
    VoiceFilter loud = makeFilter(1, 127, 0);
    Signal x(22050);
    for (size_t i = 0; i < x.size(); ++i) x[i] = (i / 7) % 2 == 0 ? 0.9f : -0.9f;
    const Signal y = run(loud, x);
    setSampleRate(48000);
    const VoiceFilter fast = makeFilter(1, 127, 0);
    setSampleRate(44100);

    EXPECT_EQ(open.frequency, 1.0f);
    EXPECT_EQ(below.frequency, exp2Ten(100.0f / 128.0f) * 2.0f);  // scaled exactly while below 1
    EXPECT_EQ(beyond.frequency, makeFilter(1, 130, 0).frequency);
    EXPECT_EQ(ladder.poleGain, makeFilter(6, 128, 64).poleGain);  // g = 0.25 at most
    float peak = 0.0f;
    for (float v : y) peak = std::isfinite(v) ? std::max(peak, std::fabs(v)) : 1e30f;
    EXPECT_LE(peak, 2.0f);
    // At and above 44100 Hz nothing is held: exactly f0 · 44100/fs.
    EXPECT_EQ(fast.frequency, exp2Ten(127.0f / 128.0f) * computeRateConstants(48000).rateScale);
}

TEST(VoiceFilter, TheLadderAtFullResonanceAndTopCutoffStaysBounded) {
    // At cutoff and resonance 128 (g = 1/4, r = 9.1) the loop gain is far beyond what the last
    // stage's cubic holds; past its peak at √2 the cubic used to turn back, and the filter ran
    // to infinity within a few hundred samples of a loud note. Held at the knee, the stage
    // stays within 2√2/3 + ε, so the low-pass output does too and the high-pass one stays
    // within that of its input. Low levels never reach the knee: the impulse responses above
    // are unchanged.
    Signal loud(4096);
    for (size_t i = 0; i < loud.size(); ++i) loud[i] = (i / 37) % 2 == 0 ? 3.0f : -3.0f;
    for (const uint32_t rate : {44100u, 32000u}) {
        setSampleRate(rate);
        for (const float type : {6.0f, 7.0f, 14.0f, 15.0f}) {
            VoiceFilter filter = makeFilter(type, 128, 128);
            float peak = 0.0f;
            for (int block = 0; block < 40; ++block) {
                for (float v : run(filter, loud)) peak = std::isfinite(v) ? std::max(peak, std::fabs(v)) : 1e30f;
            }
            EXPECT_LE(peak, type == 6.0f || type == 14.0f ? 0.9429f : 3.9429f) << rate << " " << type;
            EXPECT_LE(std::fabs(filter.stage4), 0.9429f) << rate << " " << type;
            EXPECT_GT(peak, 0.5f) << rate << " " << type;  // still a loud, resonating filter
        }
    }
    setSampleRate(44100);
}

}  // namespace
}  // namespace zimblo::dsp
