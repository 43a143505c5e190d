#include "dsp/envelope.h"

#include "dsp/maths.h"

namespace zimblo::dsp {

namespace {
// Levels at or below this (about −120 dB under the ceiling) count as silent and end the envelope.
constexpr float kCutoffLevel = 0x1p-13f;
// The top of the 0..128 level scale, where Attack ends and a swelling Sustain stops.
constexpr float kCeilingLevel = 128.0f;
// Attack: log2 of the per-frame step at A = 0 (one frame to the ceiling) and its slope.
constexpr float kAttackStepLog2AtZero = 7.0f;
constexpr float kAttackStepLog2PerUnit = -0.09375f;
// Sustain: centre of the rate parameter (factor 1) and log2 of the factor per unit away from it.
constexpr float kSustainRateCentre = 64.0f;
constexpr float kSustainFactorLog2PerUnit = 0.0019375f;

// 1 − 2^(−11·x/128): the per-frame factor shared by Decay and Release.
float fallFactor(LastResult<exp2Eleven>& curve, float x) { return 1.0f - curve(1.0f - x / 128.0f); }
}  // namespace

void Envelope::reset() { stage = EnvelopeStage::Off; }

void Envelope::setup(const float* params) {
    const float attack = params[0];
    const float decay = params[1];
    const float sustain = params[2];
    const float sustainRate = params[3];
    const float release = params[4];
    const float outputGain = params[5];
    attackStep = attackCurve(attack * kAttackStepLog2PerUnit + kAttackStepLog2AtZero);
    decayFactor = fallFactor(decayCurve, decay);
    sustainLevel = sustain;
    sustainFactor = sustainCurve((sustainRate - kSustainRateCentre) * kSustainFactorLog2PerUnit);
    releaseFactor = fallFactor(releaseCurve, release);
    gain = outputGain / 128.0f;
}

void Envelope::tick(int32_t gate) {
    EnvelopeStage current = stage;
    float value = level;

    // The gate's transitions run before the handler of the same frame: a held gate turns
    // Off and Release into Attack, a released gate turns every running stage into Release.
    // After this, Attack/Decay/Sustain only see a held gate and Off/Release a released one.
    if (gate != 0) {
        if (current == EnvelopeStage::Off || current == EnvelopeStage::Release) {
            current = EnvelopeStage::Attack;
        }
    } else if (current != EnvelopeStage::Off) {
        current = EnvelopeStage::Release;
    }

    switch (current) {
        case EnvelopeStage::Off:
            value = 0.0f;
            break;
        case EnvelopeStage::Attack:
            value = value + attackStep;
            if (value >= kCeilingLevel) {
                value = kCeilingLevel;
                current = EnvelopeStage::Decay;
            }
            break;
        case EnvelopeStage::Decay:
            value = value * decayFactor;
            if (value <= sustainLevel) {
                value = sustainLevel;
                current = EnvelopeStage::Sustain;
            } else if (value <= kCutoffLevel) {
                value = 0.0f;
                current = EnvelopeStage::Off;
            }
            break;
        case EnvelopeStage::Sustain:
            value = value * sustainFactor;
            if (value <= kCutoffLevel) {
                value = 0.0f;
                current = EnvelopeStage::Off;
            } else if (value >= kCeilingLevel) {
                value = kCeilingLevel;
            }
            break;
        case EnvelopeStage::Release:
            value = value * releaseFactor;
            if (value <= kCutoffLevel) {
                value = 0.0f;
                current = EnvelopeStage::Off;
            }
            break;
    }

    stage = current;
    level = value;
    output = value * gain;
}

}  // namespace zimblo::dsp
