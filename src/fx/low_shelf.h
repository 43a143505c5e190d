// LowShelf: a biquad low-shelf at 150 Hz that only boosts, the channel's bass EQ.
//
//   y = b0·x + b1·x1 + b2·x2 − a1·y1 − a2·y2   (direct form I, x = input + ε)
//
// Shelf slope 1 with A = 2^(p/128), c = cos w0, s = sqrt(2A)·sin w0,
// w0 = 2π·150/fs:
//   a0 = (A+1) + (A−1)·c + s
//   b0 = A·((A+1) − (A−1)·c + s)/a0      b1 = 2A·((A−1) − (A+1)·c)/a0
//   b2 = A·((A+1) − (A−1)·c − s)/a0      a1 = −2·((A−1) + (A+1)·c)/a0
//   a2 = ((A+1) + (A−1)·c − s)/a0
// The gain is A² at DC (0 dB at p = 0, almost +12 dB at p = 127), A at 150 Hz
// and 1 well above.
//
// p: 0..128 parameter scale. It rounded to 0 (p <= 0.5) bypasses the filter and
// leaves coefficients and states as they are, so re-enabling continues from them.
// The ε added to each input keeps the recursive states away from subnormals.
// There is no reset: the states start from the engine's initial clearing.
#pragma once

#include <cstdint>

#include "dsp/last_result.h"
#include "dsp/maths.h"
#include "dsp/stereo_frame.h"

namespace zimblo::fx {

struct LowShelf {
    // Settings: the parameter rounded to an integer; 0 means off.
    int32_t enable = 0;
    // Derived coefficients, normalised by a0.
    float a1 = 0.0f;
    float a2 = 0.0f;
    float b0 = 0.0f;
    float b1 = 0.0f;
    float b2 = 0.0f;
    dsp::LastResult<dsp::exp2> gainCurve;  // the gain's exponential, kept from the last setup
    // Running state: previous two inputs and outputs per side.
    float x1L = 0.0f;
    float x1R = 0.0f;
    float x2L = 0.0f;
    float x2R = 0.0f;
    float y1L = 0.0f;
    float y1R = 0.0f;
    float y2L = 0.0f;
    float y2R = 0.0f;

    void setParams(float p);
    // Filters n frames in place; nothing happens while enable is 0.
    void process(StereoFrame* buffer, int n);
};

}  // namespace zimblo::fx
