#include "fx/low_shelf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

namespace zimblo::fx {
namespace {

// Steady-state gain at hz (0: a constant), from two seconds of a 0.5 cosine in
// 128-frame blocks, correlating the second second (whole cycles) with the tone.
double gain(float p, double hz) {
    LowShelf shelf;
    shelf.setParams(p);
    std::vector<StereoFrame> buffer(88200);
    for (int i = 0; i < 88200; ++i) buffer[i].left = static_cast<float>(0.5 * std::cos(2.0 * M_PI * hz * i / 44100.0));
    for (int start = 0; start < 88200; start += 128) shelf.process(buffer.data() + start, std::min(128, 88200 - start));
    std::complex<double> sum = 0.0;
    for (int i = 44100; i < 88200; ++i) sum += double(buffer[i].left) * std::polar(1.0, -2.0 * M_PI * hz * i / 44100.0);
    return std::abs(sum) / 44100.0 / (hz == 0.0 ? 0.5 : 0.25);
}

TEST(LowShelf, GainsAtDcCornerAndTreble) {
    // A = 2^(p/128): A² at DC, A at the 150 Hz corner, 1 well above.
    const struct { float p; double hz, expected, tolerance; } cases[] = {
        {127, 0, 3.957, 1e-3}, {127, 150, 1.99, 0.01}, {127, 5000, 1.0, 2e-3}, {64, 0, 2.0, 1e-3}, {64, 150, 1.414, 5e-3}};
    for (const auto& c : cases) EXPECT_NEAR(gain(c.p, c.hz), c.expected, c.tolerance) << c.p << " Hz " << c.hz;
}

TEST(LowShelf, RoundingToZeroBypassesAndKeepsState) {
    LowShelf shelf;
    shelf.setParams(100.0f);
    StereoFrame buffer[64], original[64];
    for (int i = 0; i < 64; ++i) buffer[i] = {std::sin(0.3f * i), 0.25f};
    shelf.process(buffer, 64);
    const LowShelf before = shelf;
    std::memcpy(original, buffer, sizeof(buffer));
    for (float p : {0.0f, 0.5f}) {
        shelf.setParams(p);
        shelf.process(buffer, 64);
        EXPECT_EQ(std::memcmp(buffer, original, sizeof(buffer)), 0) << p;
        EXPECT_TRUE(shelf.b0 == before.b0 && shelf.y1L == before.y1L && shelf.x2R == before.x2R) << p;
    }
    shelf.setParams(0.5001f);  // rounds to 1: on again
    shelf.process(buffer, 64);
    EXPECT_NE(buffer[10].left, original[10].left);
}

}  // namespace
}  // namespace zimblo::fx
