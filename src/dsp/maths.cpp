#include "dsp/maths.h"

#include <cmath>
#include <limits>

namespace zimblo::dsp {

float sinePolynomialFactor(float y) {
    const float y2 = y * y;
    float p = y2 * -0.00018542f;
    p = 0.0083143f + p;
    p = y2 * p;
    p = -0.16666f + p;
    p = y2 * p;
    p = 1.0f + p;
    return p;
}

float sine(float x) {
    float r = std::fmod(x, kTwoPi);  // exact
    if (r < 0.0f) r = r + kTwoPi;
    float y;
    if (r <= kHalfPi) {
        y = r;
    } else if (r <= kThreeHalfPi) {
        y = kPi - r;
    } else {
        y = r - kTwoPi;
    }
    return y * sinePolynomialFactor(y);
}

float exp2(float x) { return static_cast<float>(std::exp2(static_cast<double>(x))); }

float exp2Ten(float x) { return exp2((x - 1.0f) * 10.0f); }

float exp2Eleven(float x) { return exp2((x - 1.0f) * 11.0f); }

float power(float x, float y) {
    if (x == 0.0f) return 0.0f;
    const double exponent = static_cast<double>(y) * std::log2(static_cast<double>(x));
    // The limits of an 80-bit extended exponent, kept so results match exactly
    // where the exponent is huge.
    const double whole = std::nearbyint(exponent);
    if (whole <= -16383.0) return 0.0f;
    if (whole >= 16385.0) return std::numeric_limits<float>::infinity();
    return static_cast<float>(std::exp2(exponent));
}

}  // namespace zimblo::dsp
