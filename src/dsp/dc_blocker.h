// DcBlocker: one-pole DC-blocking high-pass, mono (voices) and stereo (channel
// strips, master).
//
//   y[n] = x[n] − x[n−1] + R·y[n−1],   R = 1 − 126/fs (0.99714285 at 44100 Hz),
//
// a zero at DC and a pole just inside it: the corner is about 126/(2π) ≈ 20 Hz.
// Each output is flushed as y = (y + ε) − ε with ε = 2^-18, so a decaying tail
// drops to exactly 0 once it falls below ε's last bit instead of going
// subnormal. The two forms group the sum differently, and the grouping is part
// of the output:
//   mono:   y = ((R·b − a) + x + ε) − ε   (a = previous input, b = previous output)
//   stereo: y = (x − x1) + R·y1, then y = (y + ε) − ε, per side.
// A constant input therefore settles at a tiny residue, not at exactly 0.
//
// The mono form uses the left states only; the voice leaves the right ones at 0.
#pragma once

#include "dsp/stereo_frame.h"

namespace zimblo::dsp {

struct DcBlocker {
    // Running state: previous input and previous output of each side.
    float x1L = 0.0f;
    float y1L = 0.0f;
    float x1R = 0.0f;
    float y1R = 0.0f;

    void reset();
    // Filters n samples in place, with the left states.
    void renderMono(float* buffer, int n);
    // Filters n frames from in to out; in == out is allowed.
    void renderStereo(const StereoFrame* in, StereoFrame* out, int n);
};

}  // namespace zimblo::dsp
