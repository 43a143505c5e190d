// Strip lanes: the dynamics and bass shelf of several channel strips side by side.
//
// processDynamicsAndShelves gives exactly the bits of, for each strip s alone,
//   dynamics[s]->process(buffers[s], n, levelBuffer);  shelves[s]->process(buffers[s], n);
// On a SIMD path each strip's left and right run in two lanes, as many strips as fit a lane
// group and several groups stepped through the frames together (dsp/lanes/strip_kernel.h):
// the units' recurrences are latency-bound one strip at a time, and side by side their chains
// overlap. Any mix of dynamics modes (bypass, linked or stereo, peak or RMS, each strip its own
// lookahead) and of shelves on and off is allowed. The scalar path runs the plain calls.
// Lives with the effects rather than next to the shaper lanes because its scalar path calls the
// effects, which the lane kernels only read and write as records.
#pragma once

#include "dsp/simd_path.h"
#include "dsp/stereo_frame.h"
#include "fx/dynamics.h"
#include "fx/low_shelf.h"

namespace zimblo::fx {

// count strips, each on its own buffer of n frames (n <= 280) in place; levelBuffer (n frames)
// serves the scalar path's detectors.
void processDynamicsAndShelves(dsp::SimdPath path, Dynamics* const* dynamics, LowShelf* const* shelves,
                               StereoFrame* const* buffers, int count, int n, StereoFrame* levelBuffer);

}  // namespace zimblo::fx
