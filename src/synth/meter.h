// Channel and master meters, once per control frame over its n frames.
//
// Mode 0, peak: per frame and side, the magnitude if it exceeds the meter, then the meter
// times 0.9999 (every frame, also right after a new peak: about 38 dB per second at 44100 Hz).
// Any other mode, mean square: (x0² + x1² + … + x(n−1)²)/n, summed in frame order, no square
// root.
//
// A frame's meters are one short recurrence per side (a compare and a multiply, or a multiply
// and an add), so a lone meter waits on its own latency. updateMeters runs several channels'
// meters side by side on the SIMD paths (two channels to an SSE register, up to eight channels
// in one loop), each lane with its side's scalar operations in the written order.
#pragma once

#include <cstdint>

#include "dsp/simd_path.h"
#include "dsp/stereo_frame.h"

namespace zimblo::synth {

// One meter pair (left, right) over n frames.
void updateMeter(StereoFrame& meter, const StereoFrame* frames, int n, uint32_t mode);

// updateMeter of count meter pairs, each over its own n frames.
void updateMeters(dsp::SimdPath path, StereoFrame* const* meters, const StereoFrame* const* frames, int count, int n,
                  uint32_t mode);

}  // namespace zimblo::synth
