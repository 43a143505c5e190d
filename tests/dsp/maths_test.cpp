#include "dsp/maths.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <xmmintrin.h>

#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

namespace zimblo::dsp {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr unsigned kRoundingControlBits = 0x6000;  // MXCSR RC field
constexpr unsigned kRoundTowardZero = 0x6000;
constexpr unsigned kFlushToZero = 0x8000;
constexpr unsigned kDenormalsAreZero = 0x0040;
constexpr unsigned kStatusFlags = 0x003F;
constexpr unsigned kDefaultControl = 0x1F80;  // all exceptions masked, nearest, no FTZ/DAZ

// Keeps the compiler from folding a conversion at build time under its own rounding.
int32_t convertAtRunTime(float x) {
    volatile float value = x;
    return roundToInt(value);
}

TEST(NumericsTest, RoundToIntTiesToEvenAndSaturatesToIntMin) {
    const int32_t kIntMin = std::numeric_limits<int32_t>::min();
    const float values[] = {0.5f, 1.5f, 2.5f, 3.5f, -0.5f, -1.5f, -2.5f, 1.4999999f, -1.7f};
    const int32_t rounded[] = {0, 2, 2, 4, 0, -2, -2, 1, -2};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(convertAtRunTime(values[i]), rounded[i]) << values[i];
    EXPECT_EQ(convertAtRunTime(2147483520.0f), 2147483520);  // the largest float below 2^31
    EXPECT_EQ(convertAtRunTime(-2147483648.0f), kIntMin);     // in range: INT32_MIN itself
    for (const float x : {2147483648.0f, -2147483904.0f, 1e20f, kInfinity, -kInfinity,
                          std::numeric_limits<float>::quiet_NaN()}) {
        EXPECT_EQ(convertAtRunTime(x), kIntMin) << x;
    }
    // fraction(): the top 23 bits of a phase, exactly.
    EXPECT_EQ(fraction(511u), 0.0f);
    EXPECT_EQ(fraction(512u), 0x1p-23f);
    EXPECT_EQ(fraction(0x800001FFu), 0.5f);
    EXPECT_EQ(fraction(0xFFFFFFFFu), 1.0f - 0x1p-23f);
}

TEST(FpEnvironmentGuardTest, SetsNearestAndRestoresTheCallersMode) {
    const unsigned original = _mm_getcsr();
    _mm_setcsr(kDefaultControl | kRoundTowardZero | kFlushToZero | kDenormalsAreZero);
    EXPECT_EQ(convertAtRunTime(1.7f), 1);  // truncation in force outside
    {
        FpEnvironmentGuard guard;
        EXPECT_EQ(_mm_getcsr() & ~kStatusFlags, kDefaultControl);
        EXPECT_EQ(convertAtRunTime(1.7f), 2);
        EXPECT_EQ(convertAtRunTime(2.5f), 2);
        volatile float smallest = 0x1p-126f;
        EXPECT_EQ(smallest * 0.5f, 0x1p-127f);  // subnormal results survive inside
    }
    const unsigned restored = _mm_getcsr();
    EXPECT_EQ(restored & kRoundingControlBits, kRoundTowardZero);
    EXPECT_NE(restored & kFlushToZero, 0u);
    EXPECT_NE(restored & kDenormalsAreZero, 0u);
    EXPECT_EQ(convertAtRunTime(1.7f), 1);
    _mm_setcsr(original);
}

TEST(RateConstantsTest, ValuesAt44100AndOtherRates) {
    const RateConstants c = computeRateConstants(44100);
    const double w0 = 2.0 * 3.14159265358979323846 * 150.0 / 44100.0;
    EXPECT_EQ(c.baseIncrement, 12740060.0f);
    EXPECT_EQ(c.dcCoefficient, 1.0f - 126.0f / 44100.0f);
    EXPECT_NEAR(c.dcCoefficient, 0.99714285, 1e-7);
    EXPECT_EQ(c.eqSine, static_cast<float>(std::sin(w0)));
    EXPECT_EQ(c.eqCosine, static_cast<float>(std::cos(w0)));
    EXPECT_EQ(c.frameLength, 128);  // 128.5 ties to even
    EXPECT_EQ(c.inverseFrameLength, 0.0078125f);
    // The defaults in force before any rate is installed are the 44100 Hz set.
    const RateConstants d;
    EXPECT_TRUE(d.baseIncrement == c.baseIncrement && d.dcCoefficient == c.dcCoefficient &&
                d.eqSine == c.eqSine && d.eqCosine == c.eqCosine && d.frameLength == c.frameLength);

    EXPECT_EQ(computeRateConstants(22050).frameLength, 64);  // 64.5 ties to even
    EXPECT_EQ(computeRateConstants(48000).frameLength, 140);
    EXPECT_EQ(computeRateConstants(48000).inverseFrameLength, 1.0f / 140.0f);
    EXPECT_EQ(computeRateConstants(96000).frameLength, 279);
}

TEST(SineTest, FollowsTheSineWithinThePolynomialsError) {
    for (int i = -2000; i <= 2000; ++i) {
        const float x = static_cast<float>(i) * 0.0123f;
        EXPECT_NEAR(sine(x), std::sin(static_cast<double>(x)), 2e-4) << "x = " << x;
    }
    EXPECT_EQ(sine(0.0f), 0.0f);
    // The written polynomial itself, evaluated in double, pins its coefficients.
    for (const double y : {1.0, 0.5, -1.5}) {
        const double y2 = y * y;
        const double polynomial = y * (1 + y2 * (-0.16666 + y2 * (0.0083143 + y2 * -0.00018542)));
        EXPECT_NEAR(sine(static_cast<float>(y)), polynomial, 2e-7) << y;
    }
}

TEST(SineTest, NegativeAnglesReduceToTheSameAngle) {
    EXPECT_EQ(sine(-kHalfPi - 0.5f), sine(kThreeHalfPi - 0.5f));
    EXPECT_EQ(sine(-kPi), sine(kPi));
    EXPECT_EQ(sine(1.0f - kTwoPi), sine(1.0f));
    const float turns = 1.0f + 4.0f * kTwoPi;  // the reduction is exact
    EXPECT_EQ(sine(turns), sine(std::fmod(turns, kTwoPi)));
}

TEST(Exp2Test, ExactAtIntegerExponents) {
    EXPECT_EQ(exp2(0.0f), 1.0f);
    EXPECT_EQ(exp2(10.0f), 1024.0f);
    EXPECT_EQ(exp2(-5.0f), 0.03125f);
    EXPECT_EQ(exp2(127.0f), 0x1p127f);
    EXPECT_EQ(exp2(-126.0f), 0x1p-126f);
    EXPECT_EQ(exp2(-149.0f), 0x1p-149f);  // the smallest subnormal
    EXPECT_EQ(exp2(128.0f), kInfinity);
    EXPECT_EQ(exp2(-200.0f), 0.0f);
    EXPECT_EQ(exp2(0.5f), static_cast<float>(std::sqrt(2.0)));  // nearest float to √2
    EXPECT_EQ(exp2Ten(1.0f), 1.0f);
    EXPECT_EQ(exp2Ten(0.0f), 0x1p-10f);
    EXPECT_EQ(exp2Ten(0.5f), 0x1p-5f);
    EXPECT_EQ(exp2Eleven(1.0f), 1.0f);
    EXPECT_EQ(exp2Eleven(0.0f), 0x1p-11f);
}

TEST(PowerTest, ValuesAndEdges) {
    EXPECT_EQ(power(2.0f, 10.0f), 1024.0f);
    EXPECT_EQ(power(4.0f, 0.5f), 2.0f);
    EXPECT_EQ(power(10.0f, 2.0f), 100.0f);
    EXPECT_EQ(power(7.0f, 0.0f), 1.0f);
    // Zero to any power is 0, even to 0 or a negative power.
    EXPECT_EQ(power(0.0f, 2.0f), 0.0f);
    EXPECT_EQ(power(0.0f, 0.0f), 0.0f);
    EXPECT_EQ(power(0.0f, -1.0f), 0.0f);
    // Huge exponents saturate instead of producing NaN.
    EXPECT_EQ(power(2.0f, 20000.0f), kInfinity);
    EXPECT_EQ(power(0.5f, 1e6f), 0.0f);
    EXPECT_EQ(power(1e30f, 1e4f), kInfinity);
    EXPECT_EQ(power(0.5f, kInfinity), 0.0f);
}

}  // namespace
}  // namespace zimblo::dsp
