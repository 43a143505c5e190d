// A two-pole resonator, the building block of the formant voice.
//
//   y[n] = A·x[n] + B·y[n−1] + C·y[n−2]
//   r = e^(−π·W/fs),  B = 2·r·cos(2π·F/fs),  C = −r²,  A = g·(1 − B − C)
// F = centre frequency (Hz), W = bandwidth (Hz), g = gain at 0 Hz (linear).
// Normalising A to the gain at DC keeps a formant's level independent of its
// frequency and bandwidth, so glides between frames do not pump the volume.
#pragma once

namespace zimblo::speech {

struct CoefficientTriple {
    float a = 0.0f;
    float b = 0.0f;
    float c = 0.0f;
};

// The running state of one resonator; the triple it reads is fixed by its
// position (see FormantFilter).
struct Resonator {
    float y1 = 0.0f;
    float y2 = 0.0f;
};

inline float tick(const CoefficientTriple& k, Resonator& state, float x) {
    const float y = k.a * x + k.b * state.y1 + k.c * state.y2;
    state.y2 = state.y1;
    state.y1 = y;
    return y;
}

// level → linear gain: 2^((v − 70)/6); 70 is unity, +6 doubles.
float levelToGain(float level);

// B and C of the frequency and bandwidth a resonator was last set to, with the shared
// values of the sample rate they were taken at. A glide's fixed resonators, and every
// resonator of a steady frame, keep them from one control frame to the next, which spares
// their correctly rounded e^x and cos x (a few percent of a busy frame).
struct ResonatorPoles {
    float frequency = 0.0f;
    float bandwidth = 0.0f;
    float angleStep = 0.0f;
    float bandwidthFactor = 0.0f;
    float b = 0.0f;
    float c = 0.0f;
    bool valid = false;
};

// Writes A, B, C for centre frequency F (Hz), bandwidth W (Hz) and DC gain g,
// at the singer's sample rate. With poles, B and C are taken from them when F, W and the
// rate are theirs, and kept in them otherwise: the same bits either way.
void setResonator(CoefficientTriple& triple, float frequency, float bandwidth, float gain,
                  ResonatorPoles* poles = nullptr);

}  // namespace zimblo::speech
