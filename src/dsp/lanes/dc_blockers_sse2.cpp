// Stereo DC blockers of several channels at once (DcBlocker::renderStereo), two channels to a
// register: lanes (left, right) of one channel, then (left, right) of the next. Each lane runs
// its side's recurrence with the scalar operations in the written order,
//   y = (x − x1) + R·y1,  y = (y + ε) − ε,
// so every side keeps its bits; up to four pairs advance in one loop, so their latency chains
// overlap instead of running one after another (SSE2, the x86-64 baseline, on every SIMD path).
#include <emmintrin.h>

#include "dsp/dc_blocker.h"
#include "dsp/lanes/frame_pairs.h"
#include "dsp/lanes/voice_chain_entry.h"
#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

namespace zimblo::dsp::lanes {

namespace {

// Pairs channel pairs: blockers[2p], blockers[2p + 1] for p < Pairs.
template <int Pairs>
void run(DcBlocker* const* blockers, StereoFrame* const* buffers, int n) {
    const __m128 r = _mm_set1_ps(rates().dcCoefficient);
    const __m128 guard = _mm_set1_ps(kDenormalGuard);
    __m128 x1[Pairs];
    __m128 y1[Pairs];
    for (int p = 0; p < Pairs; ++p) {
        const DcBlocker& a = *blockers[2 * p];
        const DcBlocker& b = *blockers[2 * p + 1];
        x1[p] = _mm_setr_ps(a.x1L, a.x1R, b.x1L, b.x1R);
        y1[p] = _mm_setr_ps(a.y1L, a.y1R, b.y1L, b.y1R);
    }
    for (int i = 0; i < n; ++i) {
        for (int p = 0; p < Pairs; ++p) {
            StereoFrame* a = buffers[2 * p] + i;
            StereoFrame* b = buffers[2 * p + 1] + i;
            const __m128 x = loadFramePair(a, b);
            __m128 y = _mm_add_ps(_mm_sub_ps(x, x1[p]), _mm_mul_ps(r, y1[p]));
            y = _mm_sub_ps(_mm_add_ps(y, guard), guard);
            x1[p] = x;
            y1[p] = y;
            storeFramePair(y, a, b);
        }
    }
    for (int p = 0; p < Pairs; ++p) {
        alignas(16) float x[4];
        alignas(16) float y[4];
        _mm_store_ps(x, x1[p]);
        _mm_store_ps(y, y1[p]);
        DcBlocker& a = *blockers[2 * p];
        DcBlocker& b = *blockers[2 * p + 1];
        a.x1L = x[0];
        a.x1R = x[1];
        b.x1L = x[2];
        b.x1R = x[3];
        a.y1L = y[0];
        a.y1R = y[1];
        b.y1L = y[2];
        b.y1R = y[3];
    }
}

}  // namespace

void renderStereoDcBlockersSse2(DcBlocker* const* blockers, StereoFrame* const* buffers, int count, int n) {
    int first = 0;
    for (; count - first >= 8; first += 8) run<4>(blockers + first, buffers + first, n);
    if (count - first >= 4) {
        run<2>(blockers + first, buffers + first, n);
        first += 4;
    }
    if (count - first >= 2) {
        run<1>(blockers + first, buffers + first, n);
        first += 2;
    }
    if (first < count) blockers[first]->renderStereo(buffers[first], buffers[first], n);
}

}  // namespace zimblo::dsp::lanes
