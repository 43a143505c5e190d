// One of a voice's three oscillators, writing one control frame into the voice's mono buffer.
//
// Phase p is a uint32_t, one cycle = 2^32, advanced by the increment after each sample:
//   f = 130.8128 Hz · 2^((note + transpose − 60)/12)     (note 60 → 130.81 Hz, 72 → 261.63 Hz)
//   increment = round(2^((note + transpose − 60)·(1/12)) · baseIncrement), at most 2^31.
// Waveforms (W, low 3 bits), with g = G/128, c = colour H/128 as a phase, φ and f the phase
// and increment as fractions of a cycle:
//   1 triangle-saw: −g at 0 → +g at c → −g at 1; each sample the exact mean over [φ − f, φ]
//   2 pulse:        +g below c, −g above; also the exact mean over [φ − f, φ]
//   3 sine:         g·sin(2πφ), the phase folded into a half cycle and a polynomial
//   4 noise:        a 32-bit LCG through a state-variable filter, cutoff 2^(10·((T+64)/128 − 1))
//                   (2^-5 ≈ 220 Hz at transpose 0), damping 1 − √(H/128); the phase is not used
//   5 PM sine:      g·sine(2π·(1 + φ + 2m)), m = what the earlier oscillators left in the buffer
//   6, 7 aux input: 0.6·g·(left + right) of aux bus 1 or 2
// Waveforms 1..4 add to the buffer, 5..7 replace it; flag bit 0 multiplies instead.
//
// Parameters, 0..128 scale: W waveform, F flags, S semitones (S − 64), D detune ((D − 64)/128
// semitone), H colour (peak position, pulse width or noise damping), G gain (G/128).
//
// Box filtering is the cheapest anti-aliasing that is exact on average: every sample is the
// integral of the ideal shape over the phase it covers, so a whole cycle sums to the exact
// mean of the shape and the edges are smeared over one sample.
#pragma once

#include <array>
#include <cstdint>

#include "dsp/last_result.h"
#include "dsp/maths.h"
#include "dsp/stereo_frame.h"

namespace zimblo::dsp {

enum class Waveform : int32_t {
    Off = 0,
    TriangleSaw = 1,
    Pulse = 2,
    Sine = 3,
    Noise = 4,
    PhaseModSine = 5,
    Aux1 = 6,
    Aux2 = 7
};

// The synth's two stereo inter-channel buses of the current control frame; a null bus reads as
// silence.
struct AuxInputs {
    const StereoFrame* bus1 = nullptr;
    const StereoFrame* bus2 = nullptr;
};

// Noise generator seeds of the three oscillator slots of a voice.
constexpr std::array<uint32_t, 3> kNoiseSeeds = {0xDEADBEEFu, 0xBAADF00Du, 0xD3ADC0DEu};

struct Oscillator;

// The per-call constants of the box-filtered shapes (see oscillator.cpp), shared by the scalar
// renders and the SIMD lanes. caseMask is 1 when f is 0 (only the segment cases apply).
struct TriangleSawShape {
    float g, c, f, a, b, inverseF, aOneMinusF, bOneMinusF;
    uint32_t caseMask;
};
struct PulseShape {
    float g, c, f, gOverF;
    uint32_t caseMask;
};
TriangleSawShape triangleSawShape(const Oscillator& osc);
PulseShape pulseShape(const Oscillator& osc);

struct Oscillator {
    // Settings.
    int32_t waveform = 0;  // low 3 bits: a Waveform
    int32_t flags = 0;     // bit 0: multiply into the buffer instead of adding / replacing

    // Running phase and derived pitch / colour.
    uint32_t phase = 0;            // one cycle = 2^32
    uint32_t increment = 0;        // per sample, at most 2^31 (half a cycle)
    uint32_t colourThreshold = 0;  // the colour as a phase, 0..2^32 − 2^25

    // Noise generator: filter coefficients, generator state.
    float noiseFrequency = 0.0f;  // state-variable filter frequency coefficient, at most 1 below 44100 Hz
    float noiseDamping = 0.0f;    // 1 − √(H/128)
    uint32_t noiseSeed = kNoiseSeeds[0];

    float gain = 0.0f;  // G/128

    // Noise filter state.
    float noiseLow = 0.0f;
    float noiseBand = 0.0f;

    // Pitch in semitones.
    float note = 0.0f;       // voice note + voice transpose, written by the voice
    float transpose = 0.0f;  // (S − 64) + (D − 64)/128

    // The exponentials of the last pitch update.
    LastResult<dsp::exp2Ten> noiseCurve;
    LastResult<dsp::exp2> pitchCurve;

    // Phase and noise filter to 0, noise seed to the slot's (0, 1, 2; others are clamped).
    void reset(int slot);
    // params: W, F, S, D, H, G, each 0..128 (unmodulated values up to 255).
    void setup(const float* params);
    // Increment and noise frequency from note + transpose and the current rate constants.
    void updatePitch();
    // Samples 0..n−1 of work, in place; aux is read by waveforms 6 and 7 only.
    void render(float* work, int n, const AuxInputs& aux);
};

}  // namespace zimblo::dsp
