// ModDelay: a stereo delay line whose read point is swept by a triangle LFO,
// with linear interpolation, feedback and a wet/dry mix. In place on a channel
// buffer it is the chorus/flanger; fed from the mono delay send bus and added
// into the master buffer it is the global delay.
//
// Per frame and side (right first, then left), with the LFO phase t (the right
// side's shifted by offsetR) folded into the triangle u = t<<1 (inverted in the
// second half-cycle, 0 .. 2^32 − 2):
//   P = u·depth (64-bit),  D = base + (P >> 32),  f = fraction of (P mod 2^32)
//   d = line[i0] + (line[i1] − line[i0])·(1 − f),  i1 = i0 + 1 (mod length)
//   out = in·dry + d·wet,   line[write] = in + d·feedback
// i0 = write − D − 1 on the right and write − D on the left, read before this
// frame is written: the right side delays by D + f frames, the left by D − 1 + f.
//
// Parameters (0..128 scale; raw bytes up to 255 are accepted):
//   q0 mix: wet = (q0 − 64)/64, dry = 1 − |wet|; q0 = 64 switches the unit off.
//   q1 feedback = (q1 − 64)/64.
//   q2, q3 base delay left/right: q·(mask − 1023)/128 frames (8 per step for a
//      2048-frame line, 248 for a 32768-frame line).
//   q4 LFO rate: 20.268 Hz · 2^(10·(q4/128 − 1)) (about 0.02 Hz at 0).
//   q5 depth: q5/128 · 1023 frames.
//   q6 right LFO phase: 64 in phase, 96 a quarter cycle, 0 and 128 half a cycle
//      (raw bytes from 192 up overflow the rounding to 0x80000000 and give 0).
//
// Lines are powers of two long, so every index wraps with AND mask and the read
// never leaves the line, even when base + depth exceed its length. All index and
// phase arithmetic is unsigned and wraps.
#pragma once

#include <cstdint>

#include "dsp/last_result.h"
#include "dsp/maths.h"
#include "dsp/stereo_frame.h"

namespace zimblo::fx {

struct ModDelay {
    // Storage handed in by the engine: two lines of mask + 1 samples.
    float* bufL = nullptr;
    float* bufR = nullptr;
    int32_t mask = 0;
    // Running state: write index and LFO phase (one cycle = 2^32).
    int32_t write = 0;
    // Derived coefficients.
    int32_t baseL = 0;       // frames
    int32_t baseR = 0;       // frames
    uint32_t phase = 0;
    uint32_t inc = 0;        // LFO phase step per frame
    uint32_t offsetR = 0;    // right LFO phase relative to the left
    int32_t depth = 0;       // frames
    float feedback = 0.0f;   // −1 .. +1
    float dry = 0.0f;        // 1 − |wet|
    float wet = 0.0f;        // −1 .. +1; exactly 0 is off
    dsp::LastResult<dsp::exp2Ten> rateCurve;  // the rate's exponential, kept from the last setup

    // Once, at engine initialisation; mask + 1 must be a power of two.
    void setLines(float* left, float* right, int32_t lineMask);
    // Write index and phase to 0, both lines cleared; parameters are kept.
    void reset();
    void setParams(const float* q);
    // Chorus form: the stereo buffer in place.
    void processInsert(StereoFrame* buffer, int n);
    // Delay form: n mono samples from the bus, stereo output added into destination.
    void processSend(const float* bus, StereoFrame* destination, int n);
};

}  // namespace zimblo::fx
