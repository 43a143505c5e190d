#include "dsp/dc_blocker.h"

#include <gtest/gtest.h>

#include <cmath>

#include "dsp/rate_constants.h"

namespace zimblo::dsp {
namespace {

// Last output after 20000 samples of a constant (the tails stall within ~8000).
float settle(float constant, bool stereo) {
    DcBlocker dc;
    StereoFrame frame;
    float sample = 0.0f;
    for (int i = 0; i < 20000; ++i) {
        frame = {constant, constant};
        sample = constant;
        stereo ? dc.renderStereo(&frame, &frame, 1) : dc.renderMono(&sample, 1);
    }
    return stereo ? frame.left : sample;
}

TEST(DcBlocker, ConstantInputStallsAtTheFlushResidue) {
    // Stereo: y -> R·y on the 2^-41 grid of ε stops where R·y rounds back to y, 174·2^-41 for
    // any positive level (the finer 2^-42 grid below zero). Mono: (R·b − a) + x rounds on the
    // grid of the input itself.
    EXPECT_EQ(settle(1.0f, true), std::ldexp(174.0f, -41));
    EXPECT_EQ(settle(1e-3f, true), std::ldexp(174.0f, -41));
    EXPECT_EQ(settle(-1.0f, true), std::ldexp(-174.0f, -42));
    EXPECT_EQ(settle(1.0f, false), std::ldexp(174.0f, -24));
    EXPECT_EQ(settle(0.5f, false), std::ldexp(174.0f, -25));
}

TEST(DcBlocker, StepDecaysByRAndBlocksAreSeamless) {
    const float r = rates().dcCoefficient;
    StereoFrame stereo[300];
    float mono[300];
    for (int i = 0; i < 300; ++i) stereo[i] = {1.0f, -0.5f}, mono[i] = 1.0f;
    DcBlocker a, b;
    a.renderStereo(stereo, stereo, 7);
    a.renderStereo(stereo + 7, stereo + 7, 293);
    b.renderMono(mono, 300);
    EXPECT_EQ(stereo[1].left, r);
    double expected = 1.0;
    for (int i = 0; i < 300; ++i, expected *= r) {
        EXPECT_NEAR(stereo[i].left, expected, 1e-6) << i;
        EXPECT_NEAR(stereo[i].right, -0.5 * expected, 1e-6) << i;
        EXPECT_NEAR(mono[i], expected, 1e-6) << i;
    }
    EXPECT_TRUE(b.x1R == 0.0f && b.y1R == 0.0f);  // the mono form keeps to the left states
    a.reset();
    EXPECT_TRUE(a.x1L == 0.0f && a.y1L == 0.0f && a.x1R == 0.0f && a.y1R == 0.0f);
}

}  // namespace
}  // namespace zimblo::dsp
