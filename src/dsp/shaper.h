// Shaper: a multi-mode insert, one mode at a time, on a voice's mono signal or a channel's
// interleaved stereo signal.
//
//   1 overdrive:  y = gain · atanCurve(x·drive + bias),   gain = (A/128) / atan(drive)
//   2 clip:       y = (A/128) · clamp(x·drive + bias, −1, 1)
//   3 crusher:    k = round(x·scale)·N (32-bit wrap), clamped to ±32767, k ^= mask; y = k/32768
//   4 decimator:  a 32-bit hold clock; the input is sampled each time the clock wraps
//   5..15 filter: a VoiceFilter of type mode − 4 (5..9 state-variable, 10, 11 ladder)
//
// Parameters (0..128 scale; the mode is used modulo 16):
//   M mode.
//   D drive:  2^((D − 32)/16): 0.25 at 0, 1 at 32, 4 at 64, 64 at 128.
//   A amount: overdrive and clip output level A/128; crusher step N = round(256·A + 1)
//             (1 .. 32513); decimator rate, a wrap every 2^(10·(1 − A/128)) samples
//             (1024 at 0); filter cutoff.
//   B bias or mask: overdrive and clip bias drive·(B − 64)/64; crusher mask round(B) << 9,
//             bits flipped in the 16-bit sample; filter resonance.
//
// The overdrive's output gain is exact (double atan), so an input of 1 with no bias comes out
// at A/128 whatever the drive. The arctangent curve is a rational approximation (error below
// 1.5e-5) that is monotonic and bounded by ±π/2. The crusher stays in 32-bit integers; the
// decimator's counter wraps freely across control frames, so its clock does not depend on
// block boundaries.
#pragma once

#include <cstdint>

#include "dsp/last_result.h"
#include "dsp/maths.h"
#include "dsp/stereo_frame.h"
#include "dsp/voice_filter.h"

namespace zimblo::dsp {

// Values 5..15 are the filter modes (type mode − 4).
enum class ShaperMode : int32_t { Off = 0, Overdrive = 1, Clip = 2, Crusher = 3, Decimator = 4 };

// The arctangent curve's constants (shared with the SIMD lanes): doubles, so each product or sum
// with one is formed in double.
namespace arctangent {
constexpr double kSmallNumerator = 0.43157974;
constexpr double kLargeNumerator = 0.431597974;
constexpr double kSquareTerm = 0.76443945;
constexpr double kFourthTerm = 0.05831938;
constexpr double kHalfPiDouble = 1.57079632679489661923;
// From here on the curve is float(π/2) to the last bit; above it the rational form would
// overflow to inf/inf.
constexpr float kCurveSaturation = 0x1p32f;
constexpr uint32_t kBiasedExponentOfOne = 127;
}  // namespace arctangent

// The overdrive's curve: an odd rational approximation of atan(v), within 1.5e-5, monotonic,
// bounded by ±π/2.
float arctangentCurve(float v);

struct Shaper {
    // Settings.
    int32_t mode = 0;  // used modulo 16

    // Derived coefficients.
    float drive = 0.0f;           // input gain
    float outputGain = 0.0f;      // overdrive and clip
    float bias = 0.0f;            // overdrive and clip: added to the driven input
    // Overdrive: atan(drive) in double for the drive it was taken of, kept while the drive
    // stays (a zeroed record holds atan 0 = 0), so that set-up per control frame does not
    // evaluate it again.
    float atanTakenOfDrive = 0.0f;
    double atanOfDrive = 0.0;
    float crushScale = 0.0f;      // crusher: input scale, drive·32768/N
    int32_t crushMultiplier = 0;  // crusher: quantisation step N
    int32_t crushMask = 0;        // crusher: bits flipped in the quantised sample

    // Decimator: the hold clock (state), its advance per sample (coefficient) and the held
    // values (state; mono uses heldLeft only).
    uint32_t holdCounter = 0;
    uint32_t holdIncrement = 0;
    float heldLeft = 0.0f;
    float heldRight = 0.0f;

    // The exponentials of drive and hold clock, kept from the last setup.
    LastResult<dsp::exp2> driveCurve;
    LastResult<dsp::exp2Ten> holdCurve;

    // Filter modes: the mono filter or the left side, and the right side.
    VoiceFilter filterA;
    VoiceFilter filterB;

    // Clears the hold clock, the held values and both filters; mode and coefficients stay.
    void reset();
    // params: M, D, A, B, each 0..128. Never touches state.
    void setup(const float* params);
    // n samples; source == destination is allowed.
    void renderMono(const float* source, float* destination, int n);
    // n interleaved frames; source == destination is allowed.
    void renderStereo(const StereoFrame* source, StereoFrame* destination, int n);
    // True in the filter modes (5..15).
    bool runsFilter() const { return (static_cast<uint32_t>(mode) & 15u) >= 5u; }
};

}  // namespace zimblo::dsp
