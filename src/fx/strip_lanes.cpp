#include "fx/strip_lanes.h"

#if defined(ZIMBLO_X86_LANES)
#include "dsp/lanes/voice_chain_entry.h"
#endif

namespace zimblo::fx {

void processDynamicsAndShelves(dsp::SimdPath path, Dynamics* const* dynamics, LowShelf* const* shelves,
                               StereoFrame* const* buffers, int count, int n, StereoFrame* levelBuffer) {
#if defined(ZIMBLO_X86_LANES)
    // The AVX-512 path keeps 8 lanes here: the strips are bound by throughput, not by the
    // latency that wider lanes would hide.
    if (path == dsp::SimdPath::Avx2 || path == dsp::SimdPath::Avx512) {
        dsp::lanes::processStripsAvx2(dynamics, shelves, buffers, count, n);
        return;
    }
    if (path == dsp::SimdPath::Sse2) {
        dsp::lanes::processStripsSse2(dynamics, shelves, buffers, count, n);
        return;
    }
#endif
    (void)path;
    for (int s = 0; s < count; ++s) {
        dynamics[s]->process(buffers[s], n, levelBuffer);
        shelves[s]->process(buffers[s], n);
    }
}

}  // namespace zimblo::fx
