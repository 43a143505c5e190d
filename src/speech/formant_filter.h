// The formant voice: channel 15's dry signal shaped by seven resonators, with
// filtered noise for aspiration and frication.
//
// Per sample, after each of the 25 coefficients has moved one step of its
// linear ramp towards the target (so the last sample lands on it):
//   voiced = Gv·x + Ga·noise                       x = the input's left sample
//   acc    = R0(voiced) + R1(voiced)               nasal and F1
//   fric   = Gf·noise + voiced − voiced[n−1]       frication plus differenced voicing
//   acc    = R2(fric) − acc, …, acc = R6(fric) − acc   (alternating signs)
//   s      = Gb·fric − acc                         bypass
//   d = s − h1, h1 += 0.012·d;  e = d − h2, h2 += 0.012·e   two one-pole high-passes
//   out    = Rout(e) − e                           Rout: 12 kHz, 4 kHz wide, gain 2
// and out replaces both sides (the voice is mono). Gv, Ga, Gf, Gb are the
// voicing, aspiration, frication and bypass gains. The parallel bank with
// alternating signs keeps the formants from cancelling where their skirts
// overlap; the high-passes (corner ≈ 84 Hz at 44100 Hz) take out the DC and
// rumble of the differenced source.
//
// noise: seed = seed·196314165 + 907633515 (mod 2^32); white = the float with
// bits (seed >> 9) | 0x40000000, minus 3, in [−1, 1); lp = white + 0.75·lp;
// noise = 0.25·lp, a gently low-passed white noise.
#pragma once

#include <array>
#include <cstdint>

#include "dsp/stereo_frame.h"
#include "speech/coefficient_set.h"
#include "speech/resonator.h"

namespace zimblo::speech {

struct FormantFilter {
    // Coefficients: the set the resonators read (ramped per sample) and the
    // set the sequencer wants (written once per control frame).
    CoefficientSet current{};
    CoefficientSet target{};

    // Running state. Resonator i reads triple i of the current set; the output
    // resonator reads the shared output triple.
    std::array<Resonator, kResonatorCount> resonators{};
    float previousVoiced = 0.0f;
    uint32_t noiseSeed = 0;
    float noiseLowpass = 0.0f;
    float highpass1 = 0.0f;
    float highpass2 = 0.0f;
    Resonator outputResonator{};

    // Settings: multiplies every formant frequency (1.0 = as the frames say).
    float formantScale = 0.0f;

    float noise();
    // Filters n >= 1 frames in place.
    void render(StereoFrame* frames, int n);
};

}  // namespace zimblo::speech
