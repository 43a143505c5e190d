// The voice-chain kernel in 8 AVX2 lanes (compiled with -mavx2, never -mfma).
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

}  // namespace zimblo::dsp::lanes
