#include "dsp/envelope.h"

#include <gtest/gtest.h>

#include <cmath>

namespace zimblo::dsp {
namespace {

using Stage = EnvelopeStage;

Envelope make(float a, float d, float s, float t, float r, float g) {
    const float params[6] = {a, d, s, t, r, g};
    Envelope e;
    e.setup(params);
    return e;
}

// Ticks until the stage changes; returns the ticks taken.
int ticksInStage(Envelope& e, int32_t gate) {
    const Stage start = e.stage;
    int ticks = 0;
    for (; e.stage == start && ticks < 100000; ++ticks) e.tick(gate);
    return ticks;
}

// Ticks with the gate held until the given stage is reached.
Envelope& heldTo(Envelope& e, Stage stage) {
    while (e.stage != stage) e.tick(1);
    return e;
}

TEST(EnvelopeTest, FactorsFollowTheirCurves) {
    const float x[] = {0.0f, 64.0f, 127.0f}, fall[] = {0.0f, 0.97790f, 0.99948f};
    const float rate[] = {0.91764f, 1.0f, 1.08829f}, t[] = {0.0f, 64.0f, 127.0f};
    for (int i = 0; i < 3; ++i) {
        const Envelope e = make(0, x[i], 37.5f, t[i], x[i], 96);
        EXPECT_NEAR(e.decayFactor, fall[i], 5e-6f);
        EXPECT_EQ(e.releaseFactor, e.decayFactor);  // the same 1 − 2^(−11·x/128)
        EXPECT_NEAR(e.sustainFactor, rate[i], 5e-6f);
        EXPECT_TRUE(e.sustainLevel == 37.5f && e.gain == 0.75f);
    }
    EXPECT_EQ(make(0, 0, 0, 64, 0, 0).sustainFactor, 1.0f);  // a hold is exact
}

TEST(EnvelopeTest, AttackRiseTakesTwoToThe0_09375AFrames) {
    Envelope fast = make(0, 64, 64, 64, 64, 64);  // from Off, level 0, gate held
    EXPECT_EQ(ticksInStage(fast, 1), 1);  // Off → Attack → Decay in one tick
    EXPECT_TRUE(fast.level == 128.0f && fast.stage == Stage::Decay && fast.output == 64.0f);
    Envelope medium = make(64, 64, 64, 64, 64, 128);  // step 2 per frame
    EXPECT_EQ(ticksInStage(medium, 1), 1);            // Off → Attack in the first tick
    EXPECT_EQ(ticksInStage(medium, 1), 63);           // 64 frames in all
    EXPECT_EQ(medium.level, 128.0f);
    Envelope slow = make(127, 64, 64, 64, 64, 128);
    EXPECT_NEAR(ticksInStage(slow, 1) + ticksInStage(slow, 1), 3838, 1);
}

TEST(EnvelopeTest, DecayFallsGeometricallyOntoTheSustainLevelThenSustainRateApplies) {
    Envelope e = make(0, 64, 40, 64, 64, 128);
    e.tick(1);
    float expected = 128.0f;
    for (; expected * e.decayFactor > 40.0f; e.tick(1)) {
        ASSERT_TRUE(e.stage == Stage::Decay && e.level == expected);
        expected = expected * e.decayFactor;
    }
    e.tick(1);
    EXPECT_TRUE(e.stage == Stage::Sustain && e.level == 40.0f);
    // Decay 0 multiplies by 0 and lands on the sustain level, even on 0 (one Sustain frame).
    Envelope instant = make(0, 0, 0, 64, 64, 128);
    heldTo(instant, Stage::Sustain).tick(1);
    EXPECT_EQ(instant.stage, Stage::Off);
    // Sustain level 0 with a real decay ends in Off during Decay: 128·0.9779^k ≤ 2^-13.
    Envelope toOff = make(0, 64, 0, 64, 64, 128);
    heldTo(toOff, Stage::Decay);
    EXPECT_NEAR(ticksInStage(toOff, 1), 20.0 * std::log(2.0) / -std::log(0.977903), 1.0);
    EXPECT_TRUE(toOff.stage == Stage::Off && toOff.level == 0.0f);
    // The sustain rate fades (ending while the key is held), holds or swells up to 128.
    Envelope hold = make(0, 0, 77.25f, 64, 64, 128);
    for (int i = 0; i < 5000; ++i) hold.tick(1);
    EXPECT_TRUE(hold.stage == Stage::Sustain && hold.level == 77.25f);
    Envelope fade = make(0, 0, 100, 0, 64, 128);
    heldTo(fade, Stage::Sustain);
    EXPECT_NEAR(ticksInStage(fade, 1), std::log(0x1p-13 / 100.0) / std::log(0.91764), 1.0);
    EXPECT_TRUE(fade.stage == Stage::Off && fade.level == 0.0f);
    Envelope swell = make(0, 0, 100, 127, 64, 128);
    for (int i = 0; i < 100; ++i) swell.tick(1);
    EXPECT_TRUE(swell.stage == Stage::Sustain && swell.level == 128.0f);
}

TEST(EnvelopeTest, ReleaseRetriggerAndReset) {
    Envelope e = make(64, 64, 64, 64, 64, 64);
    for (int i = 0; i < 10; ++i) e.tick(1);  // level 20, in Attack
    e.tick(0);  // the stage change and the step act in the same tick
    EXPECT_TRUE(e.stage == Stage::Release && e.level == 20.0f * e.releaseFactor);
    EXPECT_EQ(e.output, 20.0f * e.releaseFactor * 0.5f);
    const float released = e.level;
    e.tick(1);  // the gate returns: attack from the released level
    EXPECT_TRUE(e.stage == Stage::Attack && e.level == released + 2.0f);
    e.reset();  // stops, but keeps the level until a released tick
    EXPECT_TRUE(e.stage == Stage::Off && e.level == released + 2.0f);
    e.tick(0);
    EXPECT_TRUE(e.stage == Stage::Off && e.level == 0.0f);

    Envelope tail = make(0, 0, 1, 64, 64, 128);
    heldTo(tail, Stage::Sustain).tick(0);
    for (int i = 0; i < 1000 && tail.level * tail.releaseFactor > 0x1p-13f; ++i) tail.tick(0);
    EXPECT_EQ(tail.stage, Stage::Release);  // ends at the cut-off, not before
    tail.tick(0);
    EXPECT_EQ(tail.stage, Stage::Off);
    Envelope cut = make(0, 0, 50, 64, 0, 128);  // release 0 drops at once
    heldTo(cut, Stage::Sustain).tick(0);
    EXPECT_TRUE(cut.stage == Stage::Off && cut.level == 0.0f);
}

}  // namespace
}  // namespace zimblo::dsp
