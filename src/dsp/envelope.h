// Five-stage envelope generator ticked once per control frame (128/44100 s).
//
//   Attack:   level += attackStep                      until level >= 128
//   Decay:    level *= decayFactor                     until level <= sustainLevel
//   Sustain:  level *= sustainFactor, clamped to 128   while the gate is held
//   Release:  level *= releaseFactor                   after the gate goes
//   output = level · gain
// Decay, Sustain and Release end in Off once the level falls to 2^-13.
//
// Parameters (0..128 scale):
//   A attack:        attackStep = 2^(7 − 0.09375·A) per frame; a rise 0 → 128 takes
//                    2^(0.09375·A) frames (1 at A = 0, 64 at A = 64, ~3838 ≈ 11 s at 127).
//   D decay, R release: factor 1 − 2^(−11·x/128) per frame: 0 at x = 0 (immediate drop),
//                    0.97790 at 64, 0.99948 at 127.
//   S sustain level: the level at which Decay hands over to Sustain.
//   T sustain rate:  factor 2^((T − 64)·0.0019375) per frame, 0.91764 .. 1.08829; exactly 1
//                    at T = 64, so Sustain is a slow fade (T < 64), a hold or a swell (T > 64).
//   G gain:          G/128.
//
// The exponential segments are single multiplies per frame, which is all a control-rate
// amplitude curve needs; the voice interpolates linearly between frames.
#pragma once

#include <cstdint>

#include "dsp/last_result.h"
#include "dsp/maths.h"

namespace zimblo::dsp {

enum class EnvelopeStage : int32_t { Off = 0, Attack = 1, Decay = 2, Sustain = 3, Release = 4 };

struct Envelope {
    // Output: level · gain, a modulation source; envelope 1's drives the voice gain.
    float output = 0.0f;

    // Running state.
    EnvelopeStage stage = EnvelopeStage::Off;
    float level = 0.0f;  // 0..128

    // Derived coefficients (setup).
    float attackStep = 0.0f;     // added per frame in Attack
    float decayFactor = 0.0f;    // multiplier per frame in Decay
    float sustainLevel = 0.0f;   // 0..128
    float sustainFactor = 1.0f;  // multiplier per frame in Sustain
    float releaseFactor = 0.0f;  // multiplier per frame in Release
    float gain = 0.0f;           // output scale

    // The exponentials behind the coefficients, kept from the last setup.
    LastResult<dsp::exp2> attackCurve;
    LastResult<dsp::exp2Eleven> decayCurve;
    LastResult<dsp::exp2> sustainCurve;
    LastResult<dsp::exp2Eleven> releaseCurve;

    // Stage = Off; the level is kept, so a restarted voice attacks from where it was.
    void reset();
    // params: A, D, S, T, R, G, each 0..128.
    void setup(const float* params);
    // One control frame; gate is non-zero while the key is held.
    void tick(int32_t gate);
};

}  // namespace zimblo::dsp
