// Constants derived once from the sample rate and read by every unit.
//
// They are process-wide: one process renders at one sample rate at a time.
// The engine's initialisation sets them; until then they hold the 44100 Hz
// values, so units can be used (and tested) on their own.
#pragma once

#include <cstdint>

namespace zimblo::dsp {

struct RateConstants {
    uint32_t sampleRate = 44100;
    // Phase increment of middle C (261.6256 Hz) at double speed:
    // 261.6255798339844 · 2^31 / sr; 12740060 at 44100 Hz.
    float baseIncrement = 12740060.0f;
    // 44100 / sr: scales filter and noise cutoffs so they keep their pitch.
    float rateScale = 1.0f;
    // sin and cos of w0 = 2π·150/sr, the bass shelf's corner.
    float eqSine = 0.0213697518f;
    float eqCosine = 0.9997716408f;
    // 1 − 126/sr: pole of the one-pole DC blockers, corner ≈ 20 Hz.
    float dcCoefficient = 0.99714285f;
    // Control-frame length in frames: round(128·sr/44100 + 0.5), ties to even.
    int32_t frameLength = 128;
    float inverseFrameLength = 0.0078125f;
};

// The largest control frame every buffer is sized for.
constexpr int kMaxFrameLength = 280;

// Derives the constants for a sample rate, without installing them.
RateConstants computeRateConstants(uint32_t sampleRate);

// The constants in force.
const RateConstants& rates();

// Installs the constants for a sample rate (done by the engine's initialisation).
void setSampleRate(uint32_t sampleRate);

// A frequency or smoothing coefficient c (0..1 over the 0..128 parameter range at 44100 Hz)
// moved to the rate in force: c · 44100/fs. Below 44100 Hz that product would leave the
// range in which the filters built on such coefficients are stable (a state-variable
// filter with f = 2 or a one-pole smoother with a step above 2 grows without bound), so it
// is held at the larger of 1 and c: never beyond the top of the parameter range, nor
// beyond what the same value gives at 44100 Hz. At 44100 Hz and above the result is
// exactly c · 44100/fs.
inline float rateScaledCoefficient(float c, const RateConstants& rate) {
    const float scaled = c * rate.rateScale;
    if (rate.rateScale <= 1.0f) return scaled;
    const float ceiling = c > 1.0f ? c : 1.0f;
    return scaled < ceiling ? scaled : ceiling;
}

}  // namespace zimblo::dsp
