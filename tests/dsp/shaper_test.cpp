#include "dsp/shaper.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace zimblo::dsp {
namespace {

using Signal = std::vector<float>;
using Frames = std::vector<StereoFrame>;

Shaper makeShaper(float mode, float drive, float amount, float biasOrMask) {
    Shaper shaper;
    const float params[4] = {mode, drive, amount, biasOrMask};
    shaper.setup(params);
    return shaper;
}

float shapeOne(Shaper& shaper, float x) {
    float y = 0.0f;
    shaper.renderMono(&x, &y, 1);
    return y;
}

Signal testSignal(int n) {
    Signal x(n);
    for (int i = 0; i < n; ++i) x[i] = 0.1f + 0.9f * std::sin(0.07f * i) * std::cos(0.011f * i);
    return x;
}

Signal renderMono(Shaper& shaper, const Signal& x) {
    Signal y(x.size());
    shaper.renderMono(x.data(), y.data(), static_cast<int>(x.size()));
    return y;
}

TEST(Shaper, ArctangentCurveFollowsAtanAndRisesMonotonically) {
    EXPECT_EQ(arctangentCurve(2.0f), 1.1071449f);
    // Over the reals the rational form gives 1.47112722 at 10; in float it lands one step higher.
    EXPECT_EQ(arctangentCurve(10.0f), 0x1.789bccp+0f);
    EXPECT_NEAR(arctangentCurve(std::nextafter(1.0f, 0.0f)), arctangentCurve(1.0f), 4e-6f);
    // Far out it is π/2 to the last bit, also where the rational form would be inf/inf.
    EXPECT_EQ(arctangentCurve(-std::numeric_limits<float>::infinity()), -static_cast<float>(M_PI_2));
    float previous = 0.0f;
    for (float v = 1e-6f; v < 1e30f; v *= 1.01f) {
        const float c = arctangentCurve(v);
        EXPECT_GE(c, previous) << v;
        EXPECT_EQ(arctangentCurve(-v), -c) << v;
        EXPECT_NEAR(c, std::atan(static_cast<double>(v)), 1.5e-5) << v;
        previous = c;
    }
}

TEST(Shaper, OverdriveAndClipLevels) {
    // Whatever the drive, an input of 1 gives A/128, to the curve's accuracy times the gain.
    for (float drive : {0.0f, 16.0f, 32.0f, 64.0f, 128.0f}) {
        Shaper driven = makeShaper(1, drive, 96, 64);
        EXPECT_NEAR(shapeOne(driven, 1.0f), 0.75f, 1.5e-5f * driven.outputGain) << drive;
    }
    Shaper biased = makeShaper(1, 64, 128, 96);  // drive 4, bias drive·32/64 = 2
    EXPECT_EQ(biased.bias, 2.0f);
    EXPECT_EQ(shapeOne(biased, 0.25f), biased.outputGain * arctangentCurve(3.0f));
    Shaper clip = makeShaper(2, 32, 128, 64);
    for (float x : {-3.0f, -1.0f, -0.25f, 0.0f, 0.6f, 1.0f, 7.0f}) {
        EXPECT_EQ(shapeOne(clip, x), std::fmin(1.0f, std::fmax(-1.0f, x))) << x;
    }
    Shaper quiet = makeShaper(2, 48, 64, 32);  // drive 2, bias −1, level 1/2
    EXPECT_EQ(shapeOne(quiet, 0.25f), -0.25f);
    // Stateless modes treat a stereo block as 2n floats; the mode is used modulo 16.
    const Signal x = testSignal(256);
    for (float mode : {0.0f, 1.0f, 2.0f, 3.0f}) {
        Shaper shaper = makeShaper(mode, 50, 100, 40), wrapped = makeShaper(mode + 16, 50, 100, 40);
        const Signal mono = renderMono(shaper, x);
        Frames frames(128);
        for (int i = 0; i < 128; ++i) frames[i] = {x[2 * i], x[2 * i + 1]};
        wrapped.renderStereo(frames.data(), frames.data(), 128);
        for (int i = 0; i < 128; ++i) {
            EXPECT_TRUE(frames[i].left == mono[2 * i] && frames[i].right == mono[2 * i + 1]) << mode;
        }
    }
}

TEST(Shaper, CrusherQuantisesWrapsAndFlipsBits) {
    Shaper plain = makeShaper(3, 32, 0, 0);  // a 16-bit quantiser
    EXPECT_EQ(shapeOne(plain, 1.0f), 32767.0f / 32768.0f);
    EXPECT_EQ(shapeOne(plain, 0.5f), 0.5f);
    EXPECT_EQ(shapeOne(plain, 2.5f / 32768.0f), 2.0f / 32768.0f);  // ties to even
    // NaN converts to 0x80000000, which clamps to the bottom of the grid.
    EXPECT_EQ(shapeOne(plain, std::numeric_limits<float>::quiet_NaN()), -32767.0f / 32768.0f);
    Shaper coarse = makeShaper(3, 32, 127, 0);
    EXPECT_EQ(shapeOne(coarse, 1.0f), 32513.0f / 32768.0f);
    EXPECT_EQ(shapeOne(coarse, 0.49f), 0.0f);
    // 2^17 · 32513 wraps in 32 bits to a negative number, then clamps.
    EXPECT_EQ(shapeOne(coarse, 131072.0f / coarse.crushScale), -32767.0f / 32768.0f);
    Shaper masked = makeShaper(3, 32, 0, 3);  // flips bits 9 and 10
    EXPECT_EQ(shapeOne(masked, 0.0f), 1536.0f / 32768.0f);
    EXPECT_EQ(shapeOne(masked, -1.0f / 32768.0f), -1537.0f / 32768.0f);
}

TEST(Shaper, DecimatorHoldsForWholeClockCycles) {
    Shaper shaper = makeShaper(4, 32, 0, 0);  // A = 0: a new value every 1024 samples
    Signal ramp(4096), out(4096);
    for (int i = 0; i < 4096; ++i) ramp[i] = static_cast<float>(i + 1);
    for (int at = 0; at < 4096; at += 128) shaper.renderMono(ramp.data() + at, out.data() + at, 128);
    for (int i = 0; i < 4096; ++i) EXPECT_EQ(out[i], static_cast<float>(((i + 1) / 1024) * 1024)) << i;
    // A = 128 overflows to an increment of 0, which freezes the held value; set-up keeps state.
    const float frozen[4] = {4, 32, 128, 0};
    shaper.setup(frozen);
    for (float y : renderMono(shaper, ramp)) EXPECT_EQ(y, 4096.0f);
    // Stereo: one clock, both sides latch on the same frame (A = 64: every 32 frames).
    Shaper stereo = makeShaper(4, 32, 64, 0);
    Frames frames(256);
    for (int i = 0; i < 256; ++i) frames[i] = {static_cast<float>(i), static_cast<float>(-i)};
    stereo.renderStereo(frames.data(), frames.data(), 256);
    for (int i = 0; i < 256; ++i) {
        const float held = i < 31 ? 0.0f : static_cast<float>(((i + 1) / 32) * 32 - 1);
        EXPECT_TRUE(frames[i].left == held && frames[i].right == -held) << i;
    }
}

TEST(Shaper, FilterModesRunTheVoiceFilterOfTypeModeMinusFour) {
    // Modes 12..15 run the out-of-range types 8..11, whose bounds the filter's tests pin.
    const Signal left = testSignal(128);
    Signal right(128);
    Frames frames(128), out(128);
    for (int i = 0; i < 128; ++i) right[i] = 0.5f - left[127 - i], frames[i] = {left[i], right[i]};
    for (int mode = 5; mode <= 15; ++mode) {
        VoiceFilter referenceLeft;
        const float filterParams[3] = {static_cast<float>(mode - 4), 70, 90};
        referenceLeft.setup(filterParams);
        VoiceFilter referenceRight = referenceLeft;
        Signal expectLeft(128), expectRight(128), expectAgain(128);
        referenceLeft.render(left.data(), expectLeft.data(), 128);
        referenceRight.render(right.data(), expectRight.data(), 128);
        Shaper mono = makeShaper(static_cast<float>(mode), 0, 70, 90);
        EXPECT_EQ(renderMono(mono, left), expectLeft) << mode;
        Shaper stereo = makeShaper(static_cast<float>(mode + 16), 0, 70, 90);
        stereo.renderStereo(frames.data(), out.data(), 128);
        for (int i = 0; i < 128; ++i) {
            EXPECT_TRUE(out[i].left == expectLeft[i] && out[i].right == expectRight[i]) << mode << " " << i;
        }
        // After stereo use the mono form reads consecutive samples again.
        VoiceFilter continued = stereo.filterA;
        continued.stride = 1;
        continued.render(right.data(), expectAgain.data(), 128);
        EXPECT_EQ(renderMono(stereo, right), expectAgain) << mode;
    }
}

}  // namespace
}  // namespace zimblo::dsp
