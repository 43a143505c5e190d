#include "dsp/oscillator.h"

#include <algorithm>
#include <cmath>

#include "dsp/maths.h"
#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

namespace zimblo::dsp {

namespace {

constexpr uint32_t kMultiplyFlag = 1u;
constexpr uint32_t kWaveformMask = 7u;

// Centre of the 0..128 parameter scale (no transpose, no detune).
constexpr float kParameterCentre = 64.0f;
// Detune: one parameter step is 1/128 semitone.
constexpr float kDetunePerStep = 0.0078125f;
// The note that sounds at half the base increment's pitch (130.81 Hz).
constexpr float kReferenceNote = 60.0f;
// 1/12 as a float (0.0833333358): octaves per semitone.
constexpr float kOctavesPerSemitone = 1.0f / 12.0f;
// x·2^31 of the colour fraction x, doubled in 32 bits, gives the threshold as a phase.
constexpr float kHalfCycle = 2147483648.0f;

// Noise: 32-bit linear congruential generator (0x0BB38435, 0x3619636B), whose top 23 bits
// scaled by 2^-22 and shifted by −1 give a uniform sample in [−1, 1).
constexpr uint32_t kNoiseMultiplier = 196314165u;
constexpr uint32_t kNoiseIncrement = 907633515u;
constexpr float kNoiseScale = 0x1p-22f;

// Sine waveform: a quarter cycle, added so that the fold below centres on the peak.
constexpr uint32_t kQuarterCycle = 0x40000000u;
constexpr uint32_t kTopBit = 0x80000000u;
// 23 bits of a folded 31-bit phase as a fraction in [0, 1).
constexpr float kFoldedScale = 0x1p-23f;

// Aux inputs: the sum of both sides is scaled down so a full-scale stereo bus stays near ±1.
constexpr float kAuxInputGain = 0.6f;

// An increment below 2^9 has a zero fraction f: the stretch a sample covers is shorter than
// the phase resolution and the edge formulas would divide by zero. Such samples then take
// the value of the segment the phase has reached, which is the limit of the exact mean.
constexpr uint32_t kAllCases = 7u;
constexpr uint32_t kSegmentCasesOnly = 1u;

// Case index of the box-filtered shapes: k = 4·previous-below + 2·wrapped + current-below,
// the sample covering the phase stretch from p − increment to p.
inline uint32_t caseIndex(uint32_t p, uint32_t increment, uint32_t threshold) {
    const uint32_t previous = p - increment;
    const uint32_t previousBelow = previous < threshold ? 1u : 0u;
    const uint32_t wrapped = p < increment ? 1u : 0u;
    const uint32_t currentBelow = p < threshold ? 1u : 0u;
    return (previousBelow << 2) | (wrapped << 1) | currentBelow;
}

// Waveforms 1..4 add y to the buffer or, with the multiply flag, multiply it by y.
template <bool kMultiply>
inline float combineAdditive(float old, float y) {
    if constexpr (kMultiply) {
        return old * y;
    } else {
        return old + y;
    }
}

// Waveforms 5..7 replace the buffer with y or, with the multiply flag, with y times it.
template <bool kMultiply>
inline float combineReplacing(float old, float y) {
    if constexpr (kMultiply) {
        return y * old;
    } else {
        return y;
    }
}

// Triangle-saw, rising from −g at 0 to +g at c and falling back to −g at 1. On a segment of
// slope 2S (S = A = g/c rising, S = B = −g/(1 − c) falling) the shape is g + 2S·(x − c), so
// the mean over [φ − f, φ] is g + S·(2d − f) with d = φ − c; the cases that cross the peak or
// the cycle start integrate both pieces.
template <bool kMultiply>
void renderTriangleSaw(Oscillator& osc, float* work, int n) {
    const uint32_t increment = osc.increment;
    const uint32_t threshold = osc.colourThreshold;
    const auto [g, c, f, a, b, inverseF, aOneMinusF, bOneMinusF, caseMask] = triangleSawShape(osc);

    uint32_t p = osc.phase;
    for (int i = 0; i < n; ++i) {
        const float d = fraction(p) - c;
        float y;
        switch (caseIndex(p, increment, threshold) & caseMask) {
            case 0:
            case 6:  // falling segment
                y = g + b * (2.0f * d - f);
                break;
            case 1:
            case 5:  // rising segment
                y = g + a * (2.0f * d - f);
                break;
            case 3: {  // crossed the cycle start
                const float beforeStart = (1.0f + d) - f;
                y = g - ((beforeStart * beforeStart * b - d * d * a) + g) * inverseF;
                break;
            }
            case 4: {  // crossed the peak
                const float beforePeak = d - f;
                y = g + (d * d * b - beforePeak * beforePeak * a) * inverseF;
                break;
            }
            case 7:  // crossed the peak, then the cycle start
                y = g - (aOneMinusF * ((2.0f * d + 1.0f) - f) + g) * inverseF;
                break;
            default:  // 2: crossed the cycle start, then the peak
                y = g - (bOneMinusF * ((2.0f * d + 1.0f) - f) + g) * inverseF;
                break;
        }
        work[i] = combineAdditive<kMultiply>(work[i], y);
        p += increment;
    }
    osc.phase = p;
}

// Pulse, +g below c and −g above: the mean over [φ − f, φ] weights ±g by the parts of the
// stretch on either side of each edge it crosses.
template <bool kMultiply>
void renderPulse(Oscillator& osc, float* work, int n) {
    const uint32_t increment = osc.increment;
    const uint32_t threshold = osc.colourThreshold;
    const auto [g, c, f, gOverF, caseMask] = pulseShape(osc);

    uint32_t p = osc.phase;
    for (int i = 0; i < n; ++i) {
        const float phi = fraction(p);
        float y;
        switch (caseIndex(p, increment, threshold) & caseMask) {
            case 0:
            case 6:  // low part
                y = -g;
                break;
            case 1:
            case 5:  // high part
                y = g;
                break;
            case 3:  // crossed the cycle start: high for φ of the stretch
                y = 2.0f * phi * gOverF - g;
                break;
            case 4:  // crossed the falling edge at c
                y = 2.0f * (c - phi) * gOverF + g;
                break;
            case 7:  // crossed the falling edge, then the cycle start: low for 1 − c
                y = g + (2.0f * c - 2.0f) * gOverF;
                break;
            default:  // 2: crossed the cycle start, then the falling edge: high for c
                y = 2.0f * c * gOverF - g;
                break;
        }
        work[i] = combineAdditive<kMultiply>(work[i], y);
        p += increment;
    }
    osc.phase = p;
}

// Sine: q = p + quarter cycle, mirrored into the lower half cycle, covers the descending
// half-wave from the peak; x = π·(1 + t) − 3π/2 maps it onto [−π/2, π/2] where the odd
// polynomial x·P(x²) approximates sin(x).
template <bool kMultiply>
void renderSine(Oscillator& osc, float* work, int n) {
    const float g = osc.gain;
    const uint32_t increment = osc.increment;

    uint32_t p = osc.phase;
    for (int i = 0; i < n; ++i) {
        uint32_t q = p + kQuarterCycle;
        if ((q & kTopBit) != 0) q = ~q;
        const float t = static_cast<float>(q >> 8) * kFoldedScale;
        const float x = kPi * (1.0f + t) - kThreeHalfPi;
        const float y = g * x * sinePolynomialFactor(x);
        work[i] = combineAdditive<kMultiply>(work[i], y);
        p += increment;
    }
    osc.phase = p;
}

// Noise: white noise w through a Chamberlin state-variable filter (low s1, band s2, high h);
// the output mixes band-pass with r·(high + low), i.e. band-pass plus the notch scaled by the
// damping, so colour 0 is close to white and colour 128 is pure band-pass.
template <bool kMultiply>
void renderNoise(Oscillator& osc, float* work, int n) {
    const float g = osc.gain;
    const float frequency = osc.noiseFrequency;
    const float damping = osc.noiseDamping;

    uint32_t seed = osc.noiseSeed;
    float low = osc.noiseLow;
    float band = osc.noiseBand;
    for (int i = 0; i < n; ++i) {
        seed = seed * kNoiseMultiplier + kNoiseIncrement;
        const float w = static_cast<float>(seed >> 9) * kNoiseScale - 1.0f;
        low = low + frequency * band;
        const float high = w - damping * band - low;
        band = band + frequency * high;
        const float y = g * (band + damping * (high + low));
        work[i] = combineAdditive<kMultiply>(work[i], y);
    }
    osc.noiseSeed = seed;
    osc.noiseLow = low;
    osc.noiseBand = band;
}

// Phase-modulated sine: the buffer m, in cycles, is added twice over to the phase.
template <bool kMultiply>
void renderPhaseModSine(Oscillator& osc, float* work, int n) {
    const float g = osc.gain;
    const uint32_t increment = osc.increment;

    uint32_t p = osc.phase;
    for (int i = 0; i < n; ++i) {
        const float m = work[i];
        const float y = g * sine(kTwoPi * (1.0f + fraction(p) + 2.0f * m));
        work[i] = combineReplacing<kMultiply>(m, y);
        p += increment;
    }
    osc.phase = p;
}

template <bool kMultiply>
void renderAuxInput(const Oscillator& osc, float* work, int n, const StereoFrame* bus) {
    const float scale = kAuxInputGain * osc.gain;
    if (bus == nullptr) {
        const float silence = scale * 0.0f;
        for (int i = 0; i < n; ++i) work[i] = combineReplacing<kMultiply>(work[i], silence);
        return;
    }
    for (int i = 0; i < n; ++i) {
        const float y = scale * (bus[i].left + bus[i].right);
        work[i] = combineReplacing<kMultiply>(work[i], y);
    }
}

template <bool kMultiply>
void renderWaveform(Oscillator& osc, float* work, int n, const AuxInputs& aux) {
    switch (static_cast<Waveform>(static_cast<uint32_t>(osc.waveform) & kWaveformMask)) {
        case Waveform::Off:
            break;
        case Waveform::TriangleSaw:
            renderTriangleSaw<kMultiply>(osc, work, n);
            break;
        case Waveform::Pulse:
            renderPulse<kMultiply>(osc, work, n);
            break;
        case Waveform::Sine:
            renderSine<kMultiply>(osc, work, n);
            break;
        case Waveform::Noise:
            renderNoise<kMultiply>(osc, work, n);
            break;
        case Waveform::PhaseModSine:
            renderPhaseModSine<kMultiply>(osc, work, n);
            break;
        case Waveform::Aux1:
            renderAuxInput<kMultiply>(osc, work, n, aux.bus1);
            break;
        case Waveform::Aux2:
            renderAuxInput<kMultiply>(osc, work, n, aux.bus2);
            break;
    }
}

}  // namespace

TriangleSawShape triangleSawShape(const Oscillator& osc) {
    const float g = osc.gain;
    const float c = fraction(osc.colourThreshold);
    const float f = fraction(osc.increment);
    const float a = g / c;
    const float b = -g / (1.0f - c);
    const float oneMinusF = 1.0f - f;
    return {g, c, f, a, b, 1.0f / f, a * oneMinusF, b * oneMinusF,
            f == 0.0f ? kSegmentCasesOnly : kAllCases};
}

PulseShape pulseShape(const Oscillator& osc) {
    const float g = osc.gain;
    const float c = fraction(osc.colourThreshold);
    const float f = fraction(osc.increment);
    return {g, c, f, g / f, f == 0.0f ? kSegmentCasesOnly : kAllCases};
}

void Oscillator::reset(int slot) {
    const int index = std::clamp(slot, 0, static_cast<int>(kNoiseSeeds.size()) - 1);
    phase = 0;
    noiseLow = 0.0f;
    noiseBand = 0.0f;
    noiseSeed = kNoiseSeeds[static_cast<size_t>(index)];
}

void Oscillator::setup(const float* params) {
    const float waveformValue = params[0];
    const float flagsValue = params[1];
    const float semitones = params[2];
    const float detune = params[3];
    const float colour = params[4];
    const float outputGain = params[5];

    waveform = roundToInt(waveformValue);
    flags = roundToInt(flagsValue);
    transpose = (semitones - kParameterCentre) + (detune - kParameterCentre) * kDetunePerStep;
    updatePitch();
    gain = outputGain / 128.0f;

    // H = 128 converts out of range to 0x80000000, which doubles to 0: the threshold wraps.
    const float x = colour / 128.0f;
    colourThreshold = static_cast<uint32_t>(roundToInt(x * kHalfCycle)) * 2u;
    noiseDamping = 1.0f - std::sqrt(x);
}

void Oscillator::updatePitch() {
    const RateConstants& rate = rates();
    noiseFrequency = rateScaledCoefficient(noiseCurve((transpose + kParameterCentre) / 128.0f), rate);
    // A product of 2^31 or more converts to 0x80000000: half a cycle per sample.
    const float ratio = pitchCurve((note + transpose - kReferenceNote) * kOctavesPerSemitone);
    increment = static_cast<uint32_t>(roundToInt(ratio * rate.baseIncrement));
}

void Oscillator::render(float* work, int n, const AuxInputs& aux) {
    if ((static_cast<uint32_t>(flags) & kMultiplyFlag) != 0) {
        renderWaveform<true>(*this, work, n, aux);
    } else {
        renderWaveform<false>(*this, work, n, aux);
    }
}

}  // namespace zimblo::dsp
