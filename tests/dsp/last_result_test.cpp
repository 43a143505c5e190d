#include "dsp/last_result.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "dsp/envelope.h"
#include "dsp/lfo.h"
#include "dsp/maths.h"
#include "dsp/oscillator.h"
#include "dsp/shaper.h"
#include "dsp/voice_filter.h"

namespace zimblo::dsp {
namespace {

uint32_t bitsOf(float x) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

float reciprocal(float x) { return 1.0f / x; }

// Arguments that repeat often, as parameters do from frame to frame, drawn from values that
// compare equal without being the same (+0 and -0), subnormals, infinities and NaNs.
std::vector<float> arguments(std::mt19937& random, int count) {
    const float pool[] = {0.0f, -0.0f, 1e-45f, -1e-45f, 1.1754942e-38f, 3e-39f, 1.0f, -1.0f, 0.5f, 64.0f,
                          -127.5f, 1e30f, std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
    std::uniform_int_distribution<int> pick(0, std::size(pool));
    std::uniform_real_distribution<float> any(-200.0f, 200.0f);
    std::vector<float> out;
    while (static_cast<int>(out.size()) < count) {
        const int i = pick(random);
        const float x = i == static_cast<int>(std::size(pool)) ? any(random) : pool[i];
        const int repeats = 1 + static_cast<int>(random() % 4);
        for (int r = 0; r < repeats; ++r) out.push_back(x);
    }
    return out;
}

TEST(LastResultTest, GivesTheFunctionsBitsForEveryArgument) {
    std::mt19937 random(17);
    const std::vector<float> xs = arguments(random, 4000);
    LastResult<reciprocal> inverse;  // 1/+0 and 1/-0 differ: a key by value would mix them up
    LastResult<dsp::exp2> power;
    LastResult<dsp::exp2Ten> powerTen;
    for (const float x : xs) {
        ASSERT_EQ(bitsOf(inverse(x)), bitsOf(reciprocal(x))) << x;
        ASSERT_EQ(bitsOf(power(x)), bitsOf(dsp::exp2(x))) << x;
        ASSERT_EQ(bitsOf(powerTen(x)), bitsOf(dsp::exp2Ten(x))) << x;
    }
}

// A unit set up with P, then Q, then P again has the coefficients of a unit only ever set up
// with P: nothing of Q's setup survives in the kept exponentials. Units whose first parameter
// picks a mode keep it between P and Q (a setup leaves the other modes' coefficients alone).
template <typename Unit, int Count, typename Coefficients>
void expectSetupsForgetEarlierParameters(float top, bool keepMode, Coefficients coefficients) {
    std::mt19937 random(Count * 101);
    std::uniform_real_distribution<float> value(0.0f, top);
    for (int round = 0; round < 300; ++round) {
        float p[Count];
        float q[Count];
        for (int i = 0; i < Count; ++i) {
            p[i] = value(random);
            q[i] = random() % 3 == 0 ? p[i] : value(random);
        }
        if (keepMode) q[0] = p[0];
        Unit reused;
        reused.setup(p);
        reused.setup(q);
        reused.setup(p);
        Unit fresh;
        fresh.setup(p);
        const auto a = coefficients(reused);
        const auto b = coefficients(fresh);
        ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "round " << round;
    }
}

struct Four {
    uint32_t bits[4];
};
Four four(float a, float b, float c, float d) { return {{bitsOf(a), bitsOf(b), bitsOf(c), bitsOf(d)}}; }

TEST(LastResultTest, UnitSetupsGiveTheSameCoefficientsAsFreshUnits) {
    expectSetupsForgetEarlierParameters<Envelope, 6>(128.0f, false, [](const Envelope& e) {
        return four(e.attackStep, e.decayFactor, e.sustainFactor, e.releaseFactor);
    });
    expectSetupsForgetEarlierParameters<Oscillator, 6>(128.0f, false, [](const Oscillator& o) {
        return four(o.noiseFrequency, static_cast<float>(o.increment), o.noiseDamping, o.gain);
    });
    expectSetupsForgetEarlierParameters<VoiceFilter, 3>(128.0f, true, [](const VoiceFilter& f) {
        return four(f.frequency, f.damping, f.poleGain, f.resonanceFeedback);
    });
    expectSetupsForgetEarlierParameters<Lfo, 7>(128.0f, false, [](const Lfo& l) {
        return four(static_cast<float>(l.increment), static_cast<float>(l.startPhase), l.scale, l.offset);
    });
    // Modes 0..15 cover overdrive, clip, crusher, decimator and the filter modes.
    expectSetupsForgetEarlierParameters<Shaper, 4>(16.0f, true, [](const Shaper& s) {
        return four(s.drive, static_cast<float>(s.holdIncrement), s.crushScale, s.filterA.frequency);
    });
}

}  // namespace
}  // namespace zimblo::dsp
