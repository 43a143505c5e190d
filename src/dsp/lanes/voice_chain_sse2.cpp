// The voice-chain kernel in 4 SSE2 lanes (the x86-64 baseline), and the shaper's stereo filter
// modes with left and right as two lanes (on every SIMD path: AVX2 would leave six lanes idle).
#include <cmath>
#include <cstdint>
#include <cstring>

#include "dsp/lanes/voice_chain_entry.h"
#include "dsp/maths.h"
#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

#define ZIMBLO_LANES 4
namespace zimblo::dsp::lanes::sse2 {
#include "dsp/lanes/voice_chain_kernel.h"
}  // namespace zimblo::dsp::lanes::sse2

namespace zimblo::dsp::lanes {

void renderVoicesSse2(Voice* const* voices, float* const* work, int count, int n, VoiceLaneScratch& scratch) {
    sse2::kernel::renderVoices(voices, work, count, n, scratch);
}

void renderStereoFilterSse2(VoiceFilter& left, VoiceFilter& right, const float* source, float* destination, int n) {
    sse2::kernel::renderStereoFilter(left, right, source, destination, n);
}

}  // namespace zimblo::dsp::lanes
