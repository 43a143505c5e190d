#include "dsp/shaper.h"

#include <bit>
#include <cmath>

#include "dsp/maths.h"
#include "dsp/numerics.h"
#include "dsp/voice_lanes.h"

namespace zimblo::dsp {

namespace {

constexpr float kInverseParameterScale = 0.0078125f;  // 1/128
constexpr float kCentre = 64.0f;                      // the neutral bias parameter
constexpr float kDriveOffset = 32.0f;                 // D = 32 is a drive of 1
constexpr float kDriveOctavesPerStep = 0.0625f;       // one octave of drive per 16 steps
constexpr uint32_t kModeMask = 15;
constexpr int32_t kFirstFilterMode = 5;
constexpr int32_t kFilterTypeOffset = 4;  // filter mode m runs filter type m − 4

// Crusher: the sample is quantised on a 16-bit grid (±32767) coarsened by N.
constexpr float kCrushFullScale = 32768.0f;
constexpr float kCrushStepsPerAmount = 256.0f;
constexpr int32_t kCrushLimit = 32767;
constexpr float kCrushOutputScale = 0x1p-15f;  // back from the 16-bit grid
constexpr int kCrushMaskShift = 9;             // the mask flips bits 9 and up

// Decimator: the hold clock's increment is exp2Ten(A/128) of a half cycle, doubled.
constexpr float kHalfCycle = 2147483648.0f;  // 2^31

using namespace arctangent;

// A product or sum with one of the curve's double constants: formed in double, rounded once.
float timesConstant(double constant, float x) {
    return static_cast<float>(constant * static_cast<double>(x));
}
float plusConstant(double constant, float x) {
    return static_cast<float>(static_cast<double>(x) + constant);
}

// Modes 0..3 keep no state, so mono and stereo (as 2n floats) share this.
void renderStateless(const Shaper& shaper, uint32_t mode, const float* source,
                     float* destination, int count) {
    const float drive = shaper.drive;
    const float gain = shaper.outputGain;
    const float bias = shaper.bias;
    switch (static_cast<ShaperMode>(mode)) {
        case ShaperMode::Overdrive:
            for (int i = 0; i < count; ++i) {
                destination[i] = gain * arctangentCurve(source[i] * drive + bias);
            }
            break;
        case ShaperMode::Clip:
            for (int i = 0; i < count; ++i) {
                float t = source[i] * drive + bias;
                if (t > 1.0f) t = 1.0f;
                if (t < -1.0f) t = -1.0f;
                destination[i] = gain * t;
            }
            break;
        case ShaperMode::Crusher: {
            const float scale = shaper.crushScale;
            const uint32_t multiplier = static_cast<uint32_t>(shaper.crushMultiplier);
            const int32_t mask = shaper.crushMask;
            for (int i = 0; i < count; ++i) {
                const uint32_t quantised = static_cast<uint32_t>(roundToInt(source[i] * scale));
                int32_t k = asSigned(quantised * multiplier);
                if (k >= kCrushLimit) k = kCrushLimit;
                if (k <= -kCrushLimit) k = -kCrushLimit;
                k = k ^ mask;
                destination[i] = static_cast<float>(k) * kCrushOutputScale;
            }
            break;
        }
        default:  // Off
            if (source != destination) {
                for (int i = 0; i < count; ++i) destination[i] = source[i];
            }
            break;
    }
}

}  // namespace

float arctangentCurve(float v) {
    const uint32_t bits = std::bit_cast<uint32_t>(v);
    const bool negative = (bits >> 31) != 0;
    const float a = std::fabs(v);
    if (a >= kCurveSaturation) {
        const float limit = static_cast<float>(kHalfPiDouble);
        return negative ? -limit : limit;
    }
    const float a2 = a * a;
    const float a4 = a2 * a2;
    float magnitude;
    if (((bits >> 23) & 0xFFu) < kBiasedExponentOfOne) {
        // a < 1: a·(1 + c·a²) / (1 + d·a² + e·a⁴)
        const float numerator = a * plusConstant(1.0, timesConstant(kSmallNumerator, a2));
        const float denominator =
            plusConstant(1.0, timesConstant(kSquareTerm, a2)) + timesConstant(kFourthTerm, a4);
        magnitude = numerator / denominator;
    } else {
        // a >= 1: π/2 − a·(c + a²) / (a⁴ + d·a² + e), the same fit about 1/a
        const float numerator = a * plusConstant(kLargeNumerator, a2);
        const float denominator = plusConstant(kFourthTerm, a4 + timesConstant(kSquareTerm, a2));
        const float tail = numerator / denominator;
        magnitude = static_cast<float>(kHalfPiDouble - static_cast<double>(tail));
    }
    return negative ? -magnitude : magnitude;
}

void Shaper::reset() {
    holdCounter = 0;
    heldLeft = 0.0f;
    heldRight = 0.0f;
    filterA.reset();
    filterB.reset();
}

void Shaper::setup(const float* params) {
    const float amount = params[2];
    const float biasOrMask = params[3];
    mode = roundToInt(params[0]);
    drive = driveCurve((params[1] - kDriveOffset) * kDriveOctavesPerStep);
    const uint32_t selected = static_cast<uint32_t>(mode) & kModeMask;
    switch (static_cast<ShaperMode>(selected)) {
        case ShaperMode::Off:
            break;
        case ShaperMode::Overdrive:
            // Normalised so that an input of 1 without bias gives exactly A/128.
            if (drive != atanTakenOfDrive) {
                atanOfDrive = atanNearest(static_cast<double>(drive));
                atanTakenOfDrive = drive;
            }
            outputGain = static_cast<float>(static_cast<double>(amount / 128.0f) / atanOfDrive);
            bias = ((drive * (biasOrMask - kCentre)) * kInverseParameterScale) * 2.0f;
            break;
        case ShaperMode::Clip:
            outputGain = amount / 128.0f;
            bias = ((drive * (biasOrMask - kCentre)) * kInverseParameterScale) * 2.0f;
            break;
        case ShaperMode::Crusher: {
            const float steps = kCrushStepsPerAmount * amount + 1.0f;
            crushMultiplier = roundToInt(steps);
            crushScale = (drive * kCrushFullScale) / steps;
            crushMask = asSigned(static_cast<uint32_t>(roundToInt(biasOrMask)) << kCrushMaskShift);
            break;
        }
        case ShaperMode::Decimator: {
            // 2^31 itself (A = 128) is out of range: 0x80000000, doubled to 0, a frozen clock.
            const float half = holdCurve(amount * kInverseParameterScale) * kHalfCycle;
            holdIncrement = static_cast<uint32_t>(roundToInt(half)) * 2u;
            break;
        }
        default: {
            const float filterParams[3] = {
                static_cast<float>(static_cast<int32_t>(selected) - kFilterTypeOffset), amount,
                biasOrMask};
            filterA.setup(filterParams);
            filterB.setup(filterParams);
            break;
        }
    }
}

void Shaper::renderMono(const float* source, float* destination, int n) {
    const uint32_t selected = static_cast<uint32_t>(mode) & kModeMask;
    if (selected >= static_cast<uint32_t>(kFirstFilterMode)) {
        filterA.stride = 1;
        filterA.render(source, destination, n);
        return;
    }
    if (static_cast<ShaperMode>(selected) != ShaperMode::Decimator) {
        renderStateless(*this, selected, source, destination, n);
        return;
    }
    const uint32_t increment = holdIncrement;
    uint32_t counter = holdCounter;
    float held = heldLeft;
    for (int i = 0; i < n; ++i) {
        counter += increment;
        if (counter < increment) held = source[i];  // the clock wrapped
        destination[i] = held;
    }
    holdCounter = counter;
    heldLeft = held;
}

void Shaper::renderStereo(const StereoFrame* source, StereoFrame* destination, int n) {
    const float* sourceFloats = reinterpret_cast<const float*>(source);
    float* destinationFloats = reinterpret_cast<float*>(destination);
    const uint32_t selected = static_cast<uint32_t>(mode) & kModeMask;
    if (runsFilter()) {
        // Left with filterA and right with filterB, each with a stride of 2.
        Shaper* self = this;
        renderStereoShapers(simdPath(), &self, &source, &destination, 1, n);
        return;
    }
    if (static_cast<ShaperMode>(selected) != ShaperMode::Decimator) {
        renderStateless(*this, selected, sourceFloats, destinationFloats, 2 * n);
        return;
    }
    const uint32_t increment = holdIncrement;
    uint32_t counter = holdCounter;
    float left = heldLeft;
    float right = heldRight;
    for (int i = 0; i < n; ++i) {
        counter += increment;
        if (counter < increment) {  // the clock wrapped: one clock for both sides
            left = source[i].left;
            right = source[i].right;
        }
        destination[i].left = left;
        destination[i].right = right;
    }
    holdCounter = counter;
    heldLeft = left;
    heldRight = right;
}

}  // namespace zimblo::dsp
