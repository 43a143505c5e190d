// OutputCheck: what a rendered signal did at the edges of the 16-bit output.
//
// Over every sample seen: the peak |x| (in dBFS, 20·log10(peak), full scale
// 1.0), the samples that the 16-bit conversion clamps (|roundToInt(x·32768)|
// ≥ 32600, see pcm16.h) and the samples that are not finite (NaN or ±∞, which
// the conversion turns into −32600). A render reports them at its end, so a
// clipped or broken mix is never passed off as a clean one.
#pragma once

#include <cstdint>
#include <string>

#include "dsp/stereo_frame.h"

namespace zimblo::player {

struct OutputCheck {
    float peak = 0.0f;  // largest finite |x|
    uint64_t clampedSamples = 0;
    uint64_t nonFiniteSamples = 0;

    void observe(const StereoFrame* frames, uint32_t count);
    bool clean() const { return clampedSamples == 0 && nonFiniteSamples == 0; }
    // "peak -3.2 dBFS, 0 samples at the 16-bit clamp, 0 non-finite samples";
    // silence reads "peak -inf dBFS".
    std::string summary() const;
};

}  // namespace zimblo::player
