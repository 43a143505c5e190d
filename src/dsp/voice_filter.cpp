#include "dsp/voice_filter.h"

#include "dsp/maths.h"
#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

namespace zimblo::dsp {

namespace {

constexpr float kInverseParameterScale = 0.0078125f;  // 1/128
// Ladder: the share of the one-pole's own feedback blended into its gain, k = g + 0.8·g·(1 − g).
constexpr float kLadderGainBlend = 0.8f;
// Ladder: the resonance compensation polynomial 1 + 0.5·(1 − g)·(5.6·(1 − g)² + g).
constexpr float kResonanceHalf = 0.5f;
constexpr float kResonanceCurve = 5.6f;
// Ladder: full resonance is a loop gain of 4 (self-oscillation of four equal poles).
constexpr float kResonanceLoopGain = 4.0f;
// Types whose low byte, read as a signed 8-bit number, reaches this use ladder coefficients.
constexpr int kFirstLadderType = 6;
constexpr int32_t kTypeRenderMask = 7;

template <FilterType kOutput>
void renderStateVariable(VoiceFilter& filter, const float* source, float* destination, int n) {
    const float f = filter.frequency;
    const float q = filter.damping;
    const int stride = filter.stride;
    float low = filter.low;
    float band = filter.band;
    for (int i = 0, at = 0; i < n; ++i, at += stride) {
        const float x = source[at] + kDenormalGuard;
        low = (low + f * band) - kDenormalGuard;
        float high = (x - low) - q * band;
        band = band + f * high;
        low = low + f * band;
        high = (x - low) - q * band;
        band = band + f * high;
        float y;
        if constexpr (kOutput == FilterType::Low) {
            y = low;
        } else if constexpr (kOutput == FilterType::Band) {
            y = band;
        } else if constexpr (kOutput == FilterType::High) {
            y = high;
        } else if constexpr (kOutput == FilterType::Notch) {
            y = low + high;
        } else {
            y = (low + band) + high;
        }
        destination[at] = y;
    }
    filter.low = low;
    filter.band = band;
}

template <FilterType kOutput>
void renderLadder(VoiceFilter& filter, const float* source, float* destination, int n) {
    const float k = filter.poleGain;
    const float m = filter.poleFeedback;
    const float r = filter.resonanceFeedback;
    const int stride = filter.stride;
    float previous = filter.previousInput;
    float s1 = filter.stage1;
    float s2 = filter.stage2;
    float s3 = filter.stage3;
    float s4 = filter.stage4;
    for (int i = 0, at = 0; i < n; ++i, at += stride) {
        const float x = source[at];
        for (int pass = 0; pass < 2; ++pass) {
            const float u = (x + kDenormalGuard) - r * s4;
            const float n1 = k * (u + previous) + m * s1;
            const float n2 = k * (s1 + n1) + m * s2;
            const float n3 = k * (s2 + n2) + m * s3;
            float n4 = k * (s3 + n3) + m * s4;
            if (n4 > kLadderClipKnee) n4 = kLadderClipKnee;
            if (n4 < -kLadderClipKnee) n4 = -kLadderClipKnee;
            n4 = (n4 - ((n4 * n4) * n4) * kLadderClipCubic) - kDenormalGuard;
            s1 = n1;
            s2 = n2;
            s3 = n3;
            s4 = n4;
            previous = x;
        }
        if constexpr (kOutput == FilterType::LadderLow) {
            destination[at] = s4;
        } else {
            destination[at] = x - s4;
        }
    }
    filter.previousInput = previous;
    filter.stage1 = s1;
    filter.stage2 = s2;
    filter.stage3 = s3;
    filter.stage4 = s4;
}

}  // namespace

void VoiceFilter::reset() {
    low = 0.0f;
    band = 0.0f;
    previousInput = 0.0f;
    stage1 = 0.0f;
    stage2 = 0.0f;
    stage3 = 0.0f;
    stage4 = 0.0f;
    stride = 1;
}

void VoiceFilter::setup(const float* params) {
    const float cutoff = params[1];
    const float resonance = params[2];
    type = roundToInt(params[0]);
    const float f0 = rateScaledCoefficient(cutoffCurve(cutoff * kInverseParameterScale), rates());
    // The low byte as a signed 8-bit number, without relying on a narrowing cast.
    const int32_t lowByte = static_cast<int32_t>(static_cast<uint32_t>(type) & 0xFFu);
    const int32_t signedLowByte = lowByte >= 128 ? lowByte - 256 : lowByte;
    if (signedLowByte < kFirstLadderType) {
        frequency = f0;
        damping = 1.0f - resonance * kInverseParameterScale;
        return;
    }
    const float g = (f0 * 0.5f) * 0.5f;
    const float oneMinusG = 1.0f - g;
    const float k = g + (kLadderGainBlend * g) * oneMinusG;
    poleGain = k;
    poleFeedback = 1.0f - 2.0f * k;
    const float compensation =
        1.0f + (kResonanceHalf * oneMinusG) * (kResonanceCurve * (oneMinusG * oneMinusG) + g);
    resonanceFeedback = (kResonanceLoopGain * (resonance * kInverseParameterScale)) * compensation;
}

void VoiceFilter::render(const float* source, float* destination, int n) {
    switch (static_cast<FilterType>(type & kTypeRenderMask)) {
        case FilterType::Off:
            // Pass-through; every sample position of this side is copied.
            if (source != destination) {
                for (int i = 0, at = 0; i < n; ++i, at += stride) destination[at] = source[at];
            }
            break;
        case FilterType::Low:
            renderStateVariable<FilterType::Low>(*this, source, destination, n);
            break;
        case FilterType::Band:
            renderStateVariable<FilterType::Band>(*this, source, destination, n);
            break;
        case FilterType::High:
            renderStateVariable<FilterType::High>(*this, source, destination, n);
            break;
        case FilterType::Notch:
            renderStateVariable<FilterType::Notch>(*this, source, destination, n);
            break;
        case FilterType::LowBandHigh:
            renderStateVariable<FilterType::LowBandHigh>(*this, source, destination, n);
            break;
        case FilterType::LadderLow:
            renderLadder<FilterType::LadderLow>(*this, source, destination, n);
            break;
        case FilterType::LadderHigh:
            renderLadder<FilterType::LadderHigh>(*this, source, destination, n);
            break;
    }
}

}  // namespace zimblo::dsp
