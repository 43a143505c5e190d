#include "player/output_check.h"

#include <cmath>
#include <cstdio>

#include "player/pcm16.h"

namespace zimblo::player {

void OutputCheck::observe(const StereoFrame* frames, uint32_t count) {
    const float* samples = &frames->left;
    for (uint32_t i = 0; i < 2 * count; ++i) {
        const float x = samples[i];
        if (!std::isfinite(x)) {
            ++nonFiniteSamples;
            continue;
        }
        const float magnitude = std::fabs(x);
        if (magnitude > peak) peak = magnitude;
        const int16_t converted = toPcm16(x);
        if (converted == kPcm16Limit || converted == -kPcm16Limit) ++clampedSamples;
    }
}

std::string OutputCheck::summary() const {
    char peakText[32];
    if (peak > 0.0f) std::snprintf(peakText, sizeof peakText, "%.1f", 20.0 * std::log10(static_cast<double>(peak)));
    else std::snprintf(peakText, sizeof peakText, "-inf");
    return std::string("peak ") + peakText + " dBFS, " + std::to_string(clampedSamples) +
           " samples at the 16-bit clamp, " + std::to_string(nonFiniteSamples) + " non-finite samples";
}

}  // namespace zimblo::player
