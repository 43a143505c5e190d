#include "dsp/lfo.h"

#include <gtest/gtest.h>

#include "dsp/free_running_counter.h"
#include "dsp/numerics.h"

namespace zimblo::dsp {
namespace {

constexpr float kTop = 1.0f - 0x1p-23f;  // the largest phase fraction
constexpr uint32_t kSeed = 0x12345678u;

uint32_t nextRandom(uint32_t state) { return state * 196314165u + 907633515u; }

// The sample-and-hold seed is pinned for every test and unpinned after it.
class LfoTest : public ::testing::Test {
protected:
    void SetUp() override { pinFreeRunningCounter(kSeed); }
    void TearDown() override { unpinFreeRunningCounter(); }
    // Shape M, key sync K, one-shot O, rate F, start phase P, polarity Q, amount N.
    static Lfo make(float m, float k, float o, float f, float p = 0, float q = 0, float n = 1) {
        const float params[7] = {m, k, o, f, p, q, n};
        Lfo lfo;
        lfo.reset();
        lfo.setup(params);
        return lfo;
    }
};

TEST_F(LfoTest, SetupDerivesRateStartPhaseAndPolarity) {
    EXPECT_EQ(make(0, 0, 0, 0).increment, 1u << 20);
    EXPECT_EQ(make(0, 0, 0, 64).increment, 1u << 25);  // 128 frames per cycle
    EXPECT_EQ(make(0, 0, 0, 128).increment, 1u << 30);
    EXPECT_EQ(make(0, 0, 0, 0, 32).startPhase, 0x40000000u);
    EXPECT_EQ(make(0, 0, 0, 0, 127).startPhase, 0xFE000000u);
    EXPECT_EQ(make(0, 0, 0, 0, 128).startPhase, 0u);  // a whole cycle wraps to 0
    const float scales[] = {100, -100, 100, 100}, offsets[] = {0, 0, -50, 0};
    for (int q = 0; q < 4; ++q) {
        const Lfo lfo = make(0, 0, 0, 0, 0, static_cast<float>(q), 100);
        EXPECT_TRUE(lfo.scale == scales[q] && lfo.offset == offsets[q]) << "polarity " << q;
    }
    const Lfo rounded = make(10.4f, 0.6f, 0.4f, 0);  // shape by its low 3 bits
    EXPECT_TRUE(rounded.shape == LfoShape::Square && rounded.keySync == 1 && rounded.oneShot == 0);
}

TEST_F(LfoTest, ShapesAtQuarterPhasesRepeatEveryFourTicksAtRate128) {
    const float shapes[] = {0, 6, 1, 2, 3};
    const float values[][4] = {{0.0f, 0.25f, 0.5f, 0.75f},           // saw
                               {0.0f, 0.25f, 0.5f, 0.75f},           // 5..7 are saws too
                               {0.0f, 0.5f, kTop, 0.5f - 0x1p-23f},  // triangle
                               {0.0f, 0.0f, kTop, kTop},             // square
                               {0.5f, 1.0f, 0.5f, 0.0f}};            // sine, to 1e-4
    for (int s = 0; s < 5; ++s) {
        Lfo lfo = make(shapes[s], 0, 0, 128);
        for (int i = 0; i < 12; ++i) {
            lfo.tick();
            EXPECT_NEAR(lfo.output, values[s][i % 4], s == 4 ? 1e-4f : 0.0f) << s << "/" << i;
        }
        EXPECT_EQ(lfo.phase, 0u);
    }
    Lfo square = make(2, 0, 0, 128, 0, 2, 100);  // polarity 2, amount 100
    for (int i = 0; i < 8; ++i) {
        square.tick();
        EXPECT_NEAR(square.output, i % 4 < 2 ? -50.0f : 49.99999f, 1e-5f) << i;
        EXPECT_LT(square.output, 50.0f);
    }
}

TEST_F(LfoTest, SampleAndHoldDrawsOncePerCycleAndAfterKeySync) {
    Lfo lfo = make(4, 1, 0, 128, 32);
    uint32_t expected = kSeed;  // the first cycle after a reset holds the seed itself
    for (int i = 0; i < 16; ++i) {
        if (i > 0 && i % 4 == 0) expected = nextRandom(expected);
        lfo.tick();
        EXPECT_EQ(lfo.output, fraction(expected)) << i;
    }
    lfo.tick();  // first tick of a cycle: draws
    lfo.noteOn();
    EXPECT_EQ(lfo.phase, 0x40000000u);
    lfo.tick();  // first tick after a key-synced start: draws again
    lfo.tick();
    EXPECT_EQ(lfo.output, fraction(nextRandom(nextRandom(expected))));
    // The wrap test compares with the phase of the last sample-and-hold tick, even when
    // other shapes ran in between: 3/4 cycle, then saw at 0 and 1/4, then back at 1/2.
    Lfo switched = make(4, 0, 0, 128);
    for (int i = 0; i < 4; ++i) switched.tick();
    switched.shape = LfoShape::Saw;
    switched.tick(), switched.tick();
    switched.shape = LfoShape::SampleAndHold;
    switched.tick();
    EXPECT_EQ(switched.output, fraction(nextRandom(kSeed)));
}

TEST_F(LfoTest, OneShotParksAtTheEndOfItsCycle) {
    Lfo saw = make(0, 0, 1, 128, 0, 0, 100), square = make(2, 0, 1, 128), triangle = make(1, 0, 1, 128);
    for (int i = 0; i < 20; ++i) saw.tick(), square.tick(), triangle.tick();
    EXPECT_EQ(saw.phase, 0xFFFFFFFFu);
    EXPECT_EQ(saw.output, kTop * 100.0f);
    EXPECT_EQ(square.output, kTop);
    EXPECT_EQ(triangle.output, 0.0f);
    Lfo synced = make(0, 1, 1, 128, 64);  // a key-synced start leaves the park
    for (int i = 0; i < 10; ++i) synced.tick();
    synced.noteOn();
    for (const float v : {0.5f, 0.75f, kTop, kTop}) {
        synced.tick();
        EXPECT_EQ(synced.output, v);
    }
}

TEST_F(LfoTest, NoteOnWithoutKeySyncAndResetTouchOnlyThePhases) {
    Lfo lfo = make(4, 0, 0, 100, 64);
    for (int i = 0; i < 7; ++i) lfo.tick();
    const Lfo before = lfo;
    lfo.noteOn();
    EXPECT_TRUE(lfo.phase == before.phase && lfo.previousPhase == before.previousPhase);
    pinFreeRunningCounter(0xCAFEF00Du);
    lfo.reset();
    EXPECT_TRUE(lfo.phase == 0u && lfo.previousPhase == 0u);
    EXPECT_EQ(lfo.randomState, 0xCAFEF00Du);
    EXPECT_EQ(lfo.output, before.output);
}

}  // namespace
}  // namespace zimblo::dsp
