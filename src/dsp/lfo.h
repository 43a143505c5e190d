// Low-frequency oscillator ticked once per control frame (128/44100 s), a modulation source.
//
//   output = v(phase) · scale + offset,   phase += increment (mod 2^32) after each tick
// v is one of five shapes in 0..1, read from the phase u = (phase >> 9)·2^-23.
//
// Parameters (0..128 scale):
//   M shape:       low 3 bits: 0 saw, 1 triangle, 2 square, 3 sine, 4 sample-and-hold
//                  (5..7 also saw).
//   K key sync:    non-zero: every note start loads the start phase.
//   O one-shot:    non-zero: the phase parks at the end of its first cycle.
//   F rate:        increment = round(2^(10·(F/128 − 1)) · 2^30) per frame, so the LFO runs
//                  at 2^(10·(F/128 − 1)) · 44100/512 Hz: 0.0841 Hz at 0, 2.69 Hz at 64,
//                  81.6 Hz at 127; at 128 one cycle lasts exactly 4 frames.
//   P start phase: P/128 of a cycle (128 wraps to 0).
//   Q polarity:    0: output 0..N; 1: −N..0; 2: −N/2..N/2; other values as 0.
//   N amount:      output span on the 0..128 modulation scale.
//
// An integer phase wraps exactly, so cycles never drift, and a wrap is visible as the
// phase becoming smaller: that is how sample-and-hold and one-shot find the cycle's end.
#pragma once

#include <cstdint>

#include "dsp/last_result.h"
#include "dsp/maths.h"

namespace zimblo::dsp {

// The shape selected by the low 3 bits of the shape parameter; 5, 6 and 7 are rising saws.
enum class LfoShape : int32_t { Saw = 0, Triangle = 1, Square = 2, Sine = 3, SampleAndHold = 4 };

struct Lfo {
    // Output: v · scale + offset, a modulation source.
    float output = 0.0f;

    // Settings (setup).
    LfoShape shape = LfoShape::Saw;  // the low 3 bits of M, 0..7
    int32_t keySync = 0;
    int32_t oneShot = 0;

    // Derived coefficient: phase advance per control frame.
    uint32_t increment = 0;
    LastResult<dsp::exp2Ten> rateCurve;  // its exponential, kept from the last setup

    // Running state: one cycle = 2^32.
    uint32_t phase = 0;

    // Derived coefficients (setup).
    uint32_t startPhase = 0;  // loaded at a key-synced note start
    float scale = 0.0f;       // amount, negated for polarity 1
    float offset = 0.0f;      // −amount/2 for polarity 2, else 0

    // Running state of the sample-and-hold.
    uint32_t randomState = 0;    // linear congruential generator
    uint32_t previousPhase = 0;  // phase at the previous sample-and-hold tick, for wrap detection

    // Phase and previous phase = 0; the random state is seeded from the free-running
    // counter, so sample-and-hold sequences differ between runs unless it is pinned.
    void reset();
    // params: M, K, O, F, P, Q, N, each 0..128.
    void setup(const float* params);
    // At every note start: with key sync, restart at the start phase and force a new
    // sample-and-hold value on the next tick; without it, nothing.
    void noteOn();
    // One control frame.
    void tick();
};

}  // namespace zimblo::dsp
