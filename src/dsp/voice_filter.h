// VoiceFilter: the resonant filter of a voice (and of the shaper's filter modes), either a
// two-times-oversampled state-variable filter or a four-stage ladder with a soft-clipped last
// stage, also run twice per sample.
//
// State-variable (types 1..5), per sample x, with x' = x + ε:
//   low += f·band − ε;  high = x' − low − q·band;  band += f·high      (first pass)
//   low += f·band;      high = x' − low − q·band;  band += f·high      (second pass)
//   output = low | band | high | low + high | low + band + high
// Ladder (types 6, 7), two passes per sample, each:
//   u = (x + ε) − r·s4;  s1' = k·(u + xPrev) + m·s1;  s2' = k·(s1 + s1') + m·s2;  ...;
//   s4' = clamp(s4', ±√2);  s4' = s4' − s4'³/6 − ε;  xPrev = x
//   output = s4 (low-pass) | x − s4 (high-pass)
//
// Parameters (0..128 scale):
//   T type:      0 off, 1 low, 2 band, 3 high, 4 notch, 5 low + band + high, 6 ladder low,
//                7 ladder high. The render uses the low 3 bits.
//   Fc cutoff:   f0 = 2^(10·(Fc/128 − 1)) · 44100/fs: 2^-10 at 0, 2^-5 at 64, 1 at 128;
//                below 44100 Hz held at max(1, the 44100 Hz value), where the filters are
//                still stable (see rateScaledCoefficient).
//   Q resonance: state-variable damping q = 1 − Q/128; ladder feedback
//                r = 4·(Q/128)·(1 + 0.5·(1 − g)·(5.6·(1 − g)² + g)), with g = f0/4 and
//                k = g + 0.8·g·(1 − g), m = 1 − 2k.
//
// Two passes per sample on the held input double the filters' internal rate without
// resampling buffers: the state-variable filter stays stable up to f = 1 at any damping and
// the ladder keeps a usable top octave. ε = 2^-18 keeps the recursions away from subnormals;
// where it is added and removed shapes the output.
//
// Set-up picks the family from the type's low byte read as a signed 8-bit number (below 6:
// state-variable) and touches only that family's coefficients, so a type of 8 or more runs
// a family whose coefficients may come from an earlier set-up (or are 0). Each family keeps
// its own state, so switching between them and back resumes where it left off.
#pragma once

#include <cstdint>

#include "dsp/last_result.h"
#include "dsp/maths.h"

namespace zimblo::dsp {

// The ladder's soft clip s − s³/6 (1/6 as the nearest float) rises only up to s = √2, where it
// reaches 2√2/3 ≈ 0.943; beyond, the cubic turns back and runs away. At full resonance and a
// high cutoff (r up to about 9.1) the loop then grows to infinity within a few hundred samples,
// so the stage is first held within ±√2 (the nearest float): the curve stays flat past its
// peak, and below it nothing changes.
constexpr float kLadderClipCubic = 0.1666666716337204f;
constexpr float kLadderClipKnee = 1.41421354f;

enum class FilterType : int32_t {
    Off = 0,
    Low = 1,
    Band = 2,
    High = 3,
    Notch = 4,
    LowBandHigh = 5,
    LadderLow = 6,
    LadderHigh = 7,
};

struct VoiceFilter {
    // Settings.
    int32_t type = 0;  // FilterType in the low 3 bits

    // Derived coefficients: state-variable.
    float frequency = 0.0f;  // f
    float damping = 0.0f;    // q = 1 − Q/128
    // Derived coefficients: ladder.
    float poleFeedback = 0.0f;       // m = 1 − 2k
    float poleGain = 0.0f;           // k
    float resonanceFeedback = 0.0f;  // r

    // Running state: state-variable.
    float low = 0.0f;
    float band = 0.0f;
    // Running state: ladder.
    float previousInput = 0.0f;  // the raw input of the previous pass
    float stage1 = 0.0f;
    float stage2 = 0.0f;
    float stage3 = 0.0f;
    float stage4 = 0.0f;

    // Distance in floats between consecutive samples: 1 mono, 2 for one side of an
    // interleaved stereo buffer.
    int32_t stride = 1;

    // The cutoff's exponential, kept from the last setup.
    LastResult<dsp::exp2Ten> cutoffCurve;

    // Clears both families' states and sets the stride back to 1.
    void reset();
    // params: T, Fc, Q, each 0..128.
    void setup(const float* params);
    // Filters n samples read from source and written to destination, both with the stride;
    // source == destination is allowed.
    void render(const float* source, float* destination, int n);
};

}  // namespace zimblo::dsp
