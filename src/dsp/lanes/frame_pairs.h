// Two stereo frames in one SSE register: lanes (left, right) of the first, then (left, right) of
// the second. The stereo units that run two channels to a register (the channel DC blockers, the
// meters) load and store their frames this way. SSE2, the x86-64 baseline.
#pragma once

#include <emmintrin.h>

#include "dsp/stereo_frame.h"

namespace zimblo::dsp::lanes {

inline __m128 loadFramePair(const StereoFrame* a, const StereoFrame* b) {
    const __m128 low = _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(a)));
    return _mm_loadh_pi(low, reinterpret_cast<const __m64*>(b));
}

inline void storeFramePair(__m128 v, StereoFrame* a, StereoFrame* b) {
    _mm_storel_pi(reinterpret_cast<__m64*>(a), v);
    _mm_storeh_pi(reinterpret_cast<__m64*>(b), v);
}

}  // namespace zimblo::dsp::lanes
