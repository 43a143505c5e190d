#include "dsp/maths.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

namespace zimblo::dsp {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr int32_t kIntMin = std::numeric_limits<int32_t>::min();

// Keeps the compiler from folding a conversion at build time under its own rounding.
int32_t convertAtRunTime(float x) {
    volatile float value = x;
    return roundToInt(value);
}

TEST(NumericsTest, RoundToIntTiesToEvenAndSaturatesToIntMin) {
    const std::pair<float, int32_t> cases[] = {
        {0.5f, 0}, {1.5f, 2}, {2.5f, 2}, {-0.5f, 0}, {-2.5f, -2}, {1.4999999f, 1}, {-1.7f, -2},
        {2147483520.0f, 2147483520}, {-2147483648.0f, kIntMin}, {2147483648.0f, kIntMin},
        {-2147483904.0f, kIntMin}, {kInf, kIntMin}, {std::numeric_limits<float>::quiet_NaN(), kIntMin}};
    for (const auto& [x, rounded] : cases) EXPECT_EQ(convertAtRunTime(x), rounded) << x;
    // fraction(): the top 23 bits of a phase, exactly.
    EXPECT_TRUE(fraction(511u) == 0.0f && fraction(0x800001FFu) == 0.5f && fraction(~0u) == 1 - 0x1p-23f);
}

// The portable conversion (used where no instruction has the rule) agrees with the one in
// use here over a dense spread of bit patterns: every sign, exponent and rounding case.
TEST(NumericsTest, PortableConversionMatchesTheProcessors) {
    for (uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 4093) {
        const auto pattern = static_cast<uint32_t>(bits);
        float x;
        std::memcpy(&x, &pattern, sizeof x);
        ASSERT_EQ(roundToIntPortable(x), convertAtRunTime(x)) << std::hex << pattern;
    }
    for (int32_t n = -70000; n <= 70000; ++n) {  // every half around zero, exactly
        const float x = static_cast<float>(n) * 0.5f;
        ASSERT_EQ(roundToIntPortable(x), convertAtRunTime(x)) << x;
    }
}

// A mode that rounds towards zero and flushes subnormals, on the processors that have one.
#if defined(ZIMBLO_FP_X86_64)
constexpr uint64_t kHostileMode = 0x1F80 | 0x6000 | 0x8000 | 0x0040;  // RC = zero, FZ, DAZ
constexpr uint64_t kStatusBits = 0x3F;
#elif defined(ZIMBLO_FP_AARCH64)
constexpr uint64_t kHostileMode = (3u << 22) | (1u << 24);  // RMode = zero, FZ
constexpr uint64_t kStatusBits = 0;
#endif

#if defined(ZIMBLO_FP_X86_64) || defined(ZIMBLO_FP_AARCH64)
TEST(FpEnvironmentGuardTest, SetsNearestAndRestoresTheCallersMode) {
    const uint64_t original = FpEnvironmentGuard::read();
    FpEnvironmentGuard::write(kHostileMode);
    volatile float one = 1.0f, nudge = 0x1.8p-24f, smallest = 0x1p-126f;
    EXPECT_EQ(one + nudge, 1.0f);  // truncated
    {
        FpEnvironmentGuard guard;
        EXPECT_EQ(FpEnvironmentGuard::read() & ~kStatusBits, FpEnvironmentGuard::kEngineMode);
        EXPECT_EQ(one + nudge, 1.0f + 0x1p-23f);
        EXPECT_EQ(convertAtRunTime(2.5f), 2);
        EXPECT_EQ(smallest * 0.5f, 0x1p-127f);  // subnormal results survive inside
    }
    EXPECT_EQ(FpEnvironmentGuard::read() & ~kStatusBits, kHostileMode);
    FpEnvironmentGuard::write(original);
}
#endif

TEST(RateConstantsTest, ValuesAt44100AndOtherRates) {
    const RateConstants c = computeRateConstants(44100), d;
    const double w0 = 2.0 * 3.14159265358979323846 * 150.0 / 44100.0;
    EXPECT_EQ(c.baseIncrement, 12740060.0f);
    EXPECT_EQ(c.dcCoefficient, 1.0f - 126.0f / 44100.0f);
    EXPECT_EQ(c.eqSine, static_cast<float>(std::sin(w0)));
    EXPECT_EQ(c.eqCosine, static_cast<float>(std::cos(w0)));
    EXPECT_EQ(c.inverseFrameLength, 0.0078125f);
    // The defaults in force before any rate is installed are the 44100 Hz set.
    EXPECT_TRUE(d.baseIncrement == c.baseIncrement && d.dcCoefficient == c.dcCoefficient &&
                d.eqSine == c.eqSine && d.eqCosine == c.eqCosine && d.frameLength == c.frameLength);
    // round(128·sr/44100 + 0.5): 128.5 and 64.5 tie to even.
    const std::pair<uint32_t, int32_t> lengths[] = {{44100, 128}, {22050, 64}, {48000, 140}, {96000, 279}};
    for (const auto& [rate, length] : lengths) EXPECT_EQ(computeRateConstants(rate).frameLength, length);
    EXPECT_EQ(computeRateConstants(48000).inverseFrameLength, 1.0f / 140.0f);
}

TEST(SineTest, FollowsTheSineAndReducesExactly) {
    for (int i = -2000; i <= 2000; ++i) {
        const float x = static_cast<float>(i) * 0.0123f;
        EXPECT_NEAR(sine(x), std::sin(static_cast<double>(x)), 2e-4) << x;
    }
    // The written polynomial itself, evaluated in double, pins its coefficients.
    for (const double y : {1.0, 0.5, -1.5}) {
        const double y2 = y * y;
        EXPECT_NEAR(sine(static_cast<float>(y)),
                    y * (1 + y2 * (-0.16666 + y2 * (0.0083143 + y2 * -0.00018542))), 2e-7) << y;
    }
    // Negative angles and whole turns reduce to the same angle, exactly.
    const float turns = 1.0f + 4.0f * kTwoPi;
    EXPECT_TRUE(sine(0.0f) == 0.0f && sine(-kPi) == sine(kPi) && sine(1.0f - kTwoPi) == sine(1.0f));
    EXPECT_EQ(sine(-kHalfPi - 0.5f), sine(kThreeHalfPi - 0.5f));
    EXPECT_EQ(sine(turns), sine(std::fmod(turns, kTwoPi)));
}

TEST(Exp2Test, ExactAtIntegerExponentsAndSaturatingPowers) {
    const std::pair<float, float> exp2Cases[] = {
        {0.0f, 1.0f}, {10.0f, 1024.0f}, {-5.0f, 0.03125f}, {127.0f, 0x1p127f}, {-149.0f, 0x1p-149f},
        {128.0f, kInf}, {-200.0f, 0.0f}, {0.5f, static_cast<float>(std::sqrt(2.0))}};
    for (const auto& [x, y] : exp2Cases) EXPECT_EQ(exp2(x), y) << x;
    EXPECT_TRUE(exp2Ten(1.0f) == 1.0f && exp2Ten(0.0f) == 0x1p-10f && exp2Ten(0.5f) == 0x1p-5f);
    EXPECT_EQ(exp2Eleven(0.0f), 0x1p-11f);
    // x^y; zero to any power (even 0 or negative) is 0; huge exponents saturate, never NaN.
    const float powerCases[][3] = {{2, 10, 1024}, {4, 0.5f, 2}, {10, 2, 100}, {7, 0, 1},
                                   {0, 0, 0},     {0, -1, 0},   {2, 20000, kInf}, {0.5f, 1e6f, 0},
                                   {1e30f, 1e4f, kInf}, {0.5f, kInf, 0}};
    for (const auto& c : powerCases) EXPECT_EQ(power(c[0], c[1]), c[2]) << c[0] << "^" << c[1];
}

// Inputs where a common system library is one ulp off the nearest double (or float): the
// values here are MPFR's correctly rounded ones.
TEST(NearestMathsTest, CorrectlyRoundedWhereLibrariesAreNot) {
    EXPECT_EQ(expNearest(-0x1.d77p-1), 0x1.97c44ce62840fp-2);
    EXPECT_EQ(expNearest(-0x1.ee5p-3), 0x1.9234658ca35abp-1);
    EXPECT_EQ(cosNearest(0x1.c19p-7), 0x1.fff3aa22ea357p-1);
    EXPECT_EQ(cosNearest(0x1.17p+0), 0x1.d9ba142a6ecebp-2);
    EXPECT_EQ(atanNearest(0x1.0046p-2), 0x1.f63b2137d6825p-3);
    EXPECT_EQ(atanNearest(0x1.0ec8p-2), 0x1.08b8d390f639p-2);
    EXPECT_EQ(log2Nearest(0x1.145002p-8), -0x1.f8f32f4e73bf4p+2);
    // (257/512)³ lies exactly half-way between two floats; 2^(3·log2 x) with the exponent
    // rounded to double lies just above it, and power() rounds that value.
    EXPECT_EQ(power(0x1.01p-1f, 3.0f), 0x1.030302p-3f);
    // Exact cases, signs and limits.
    EXPECT_TRUE(expNearest(0.0) == 1.0 && log2Nearest(0x1p-1074) == -1074.0 && log2Nearest(1024.0) == 10.0);
    EXPECT_TRUE(atanNearest(kInf) == 0x1.921fb54442d18p+0 && atanNearest(-1.0) == -0x1.921fb54442d18p-1);
    EXPECT_TRUE(cosNearest(0.0) == 1.0 && sinNearest(-0x1p-40) == -0x1p-40);
    EXPECT_EQ(sinNearest(0x1.921fb54442d18p+1), 0x1.1a62633145c07p-53);  // sin of the double π
    EXPECT_EQ(kTwoPiDouble, 8.0 * std::atan(1.0));
    EXPECT_TRUE(std::isnan(log2Nearest(-1.0)) && std::isnan(expNearest(std::nan(""))));
    EXPECT_TRUE(exp2Nearest(-150.0) == 0.0f && exp2Nearest(-149.5) == 0x1p-149f && exp2Nearest(127.99999) < kInf);
}

TEST(NearestMathsTest, TurnRemainderIsExact) {
    const float cases[] = {7.0f, -7.0f, 1e6f, -123456.7f, 0x1.8p40f, 3e38f, -kTwoPi, 2.0f * kTwoPi, 0x1p-149f,
                           std::nextafter(kTwoPi * 3.0f, 0.0f), std::nextafter(-kTwoPi * 1000.0f, 0.0f)};
    for (const float x : cases) {
        const float expected = std::fmod(x, kTwoPi);
        EXPECT_EQ(std::bit_cast<uint32_t>(remainderOfTurn(x)), std::bit_cast<uint32_t>(expected)) << x;
    }
    EXPECT_TRUE(std::isnan(remainderOfTurn(kInf)) && std::isnan(remainderOfTurn(std::nanf(""))));
}

}  // namespace
}  // namespace zimblo::dsp
