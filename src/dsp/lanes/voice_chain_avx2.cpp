// The voice-chain kernel and the strips' stereo shaper filters in 8 AVX2 lanes (compiled with
// -mavx2, never -mfma).
#include <cmath>
#include <cstdint>
#include <cstring>

#include "dsp/lanes/voice_chain_entry.h"
#include "dsp/maths.h"
#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

#define ZIMBLO_LANES 8
namespace zimblo::dsp::lanes::avx2 {
#include "dsp/lanes/voice_chain_kernel.h"
}  // namespace zimblo::dsp::lanes::avx2

namespace zimblo::dsp::lanes {

void renderVoicesAvx2(Voice* const* voices, float* const* work, int count, int n, VoiceLaneScratch& scratch) {
    avx2::kernel::renderVoices(voices, work, count, n, scratch);
}

void renderStereoFiltersAvx2(VoiceFilter* const* lefts, VoiceFilter* const* rights, const float* const* sources,
                             float* const* destinations, int count, int n) {
    avx2::kernel::renderStereoFilters(lefts, rights, sources, destinations, count, n);
}

}  // namespace zimblo::dsp::lanes
