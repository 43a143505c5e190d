// The voice-chain kernel and the strips' stereo shaper filters in 16 AVX-512 lanes (compiled with
// -mavx512f, -mavx512vl, -mavx512dq and -mavx512bw; -ffp-contract=off keeps every multiply and add
// apart although the instruction set has the fused form).
#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "dsp/lanes/voice_chain_entry.h"
#include "dsp/maths.h"
#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

#define ZIMBLO_LANES 16
namespace zimblo::dsp::lanes::avx512 {
#include "dsp/lanes/voice_chain_kernel.h"
}  // namespace zimblo::dsp::lanes::avx512

namespace zimblo::dsp::lanes {

void renderVoicesAvx512(const VoiceGroup* groups, int groupCount, int n, VoiceLaneScratch& scratch) {
    avx512::kernel::renderVoices(groups, groupCount, n, scratch);
}

void renderStereoFiltersAvx512(VoiceFilter* const* lefts, VoiceFilter* const* rights, const float* const* sources,
                             float* const* destinations, int count, int n) {
    avx512::kernel::renderStereoFilters(lefts, rights, sources, destinations, count, n);
}

void sinesAvx512(const float* x, float* y, int n) { avx512::kernel::sines(x, y, n); }

}  // namespace zimblo::dsp::lanes
