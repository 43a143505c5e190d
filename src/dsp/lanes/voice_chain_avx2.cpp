// The voice-chain kernel, the strips' stereo shaper filters and their dynamics and bass shelves
// in 8 AVX2 lanes (compiled with -mavx2, never -mfma).
#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "dsp/lanes/voice_chain_entry.h"
#include "dsp/maths.h"
#include "dsp/numerics.h"
#include "dsp/rate_constants.h"
#include "fx/dynamics.h"
#include "fx/low_shelf.h"

#define ZIMBLO_LANES 8
namespace zimblo::dsp::lanes::avx2 {
#include "dsp/lanes/voice_chain_kernel.h"
#include "dsp/lanes/strip_kernel.h"
}  // namespace zimblo::dsp::lanes::avx2

namespace zimblo::dsp::lanes {

void renderVoicesAvx2(const VoiceGroup* groups, int groupCount, int n, VoiceLaneScratch& scratch) {
    avx2::kernel::renderVoices(groups, groupCount, n, scratch);
}

void renderStereoFiltersAvx2(VoiceFilter* const* lefts, VoiceFilter* const* rights, const float* const* sources,
                             float* const* destinations, int count, int n) {
    avx2::kernel::renderStereoFilters(lefts, rights, sources, destinations, count, n);
}

void processStripsAvx2(fx::Dynamics* const* dynamics, fx::LowShelf* const* shelves, StereoFrame* const* buffers,
                       int count, int n) {
    avx2::kernel::processStrips(dynamics, shelves, buffers, count, n);
}

void sinesAvx2(const float* x, float* y, int n) { avx2::kernel::sines(x, y, n); }

}  // namespace zimblo::dsp::lanes
