// The voice-chain kernel, the strips' stereo shaper filters and their dynamics and bass shelves
// in 4 SSE2 lanes (the x86-64 baseline).
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

#define ZIMBLO_LANES 4
namespace zimblo::dsp::lanes::sse2 {
#include "dsp/lanes/voice_chain_kernel.h"
#include "dsp/lanes/strip_kernel.h"
}  // namespace zimblo::dsp::lanes::sse2

namespace zimblo::dsp::lanes {

void renderVoicesSse2(const VoiceGroup* groups, int groupCount, int n, VoiceLaneScratch& scratch) {
    sse2::kernel::renderVoices(groups, groupCount, n, scratch);
}

void renderStereoFiltersSse2(VoiceFilter* const* lefts, VoiceFilter* const* rights, const float* const* sources,
                             float* const* destinations, int count, int n) {
    sse2::kernel::renderStereoFilters(lefts, rights, sources, destinations, count, n);
}

void processStripsSse2(fx::Dynamics* const* dynamics, fx::LowShelf* const* shelves, StereoFrame* const* buffers,
                       int count, int n) {
    sse2::kernel::processStrips(dynamics, shelves, buffers, count, n);
}

void sinesSse2(const float* x, float* y, int n) { sse2::kernel::sines(x, y, n); }

}  // namespace zimblo::dsp::lanes
