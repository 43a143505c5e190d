#include "synth/meter.h"

#include <cmath>

#if defined(ZIMBLO_X86_LANES)
#include <emmintrin.h>

#include "dsp/lanes/frame_pairs.h"
#endif

namespace zimblo::synth {

namespace {

constexpr float kPeakMeterDecay = 0.9999f;

#if defined(ZIMBLO_X86_LANES)

// Meters 2p and 2p + 1 in the lanes (left, right, left, right) of pair p, for p < Pairs.
// Peak: max(|x|, meter) keeps the meter unless |x| exceeds it, as the scalar compare does.
template <int Pairs, bool kPeak>
void run(StereoFrame* const* meters, const StereoFrame* const* frames, int n) {
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 decay = _mm_set1_ps(kPeakMeterDecay);
    __m128 value[Pairs];
    for (int p = 0; p < Pairs; ++p) {
        const StereoFrame& a = *meters[2 * p];
        const StereoFrame& b = *meters[2 * p + 1];
        value[p] = kPeak ? _mm_setr_ps(a.left, a.right, b.left, b.right) : _mm_setzero_ps();
    }
    for (int i = 0; i < n; ++i) {
        for (int p = 0; p < Pairs; ++p) {
            const __m128 x = dsp::lanes::loadFramePair(frames[2 * p] + i, frames[2 * p + 1] + i);
            if constexpr (kPeak) {
                value[p] = _mm_mul_ps(_mm_max_ps(_mm_and_ps(x, magnitude), value[p]), decay);
            } else {
                value[p] = _mm_add_ps(value[p], _mm_mul_ps(x, x));
            }
        }
    }
    const __m128 count = _mm_set1_ps(static_cast<float>(n));
    for (int p = 0; p < Pairs; ++p) {
        alignas(16) float v[4];
        _mm_store_ps(v, kPeak ? value[p] : _mm_div_ps(value[p], count));
        *meters[2 * p] = {v[0], v[1]};
        *meters[2 * p + 1] = {v[2], v[3]};
    }
}

template <int Pairs>
void run(StereoFrame* const* meters, const StereoFrame* const* frames, int n, uint32_t mode) {
    if (mode == 0) {
        run<Pairs, true>(meters, frames, n);
    } else {
        run<Pairs, false>(meters, frames, n);
    }
}

#endif

}  // namespace

void updateMeter(StereoFrame& meter, const StereoFrame* frames, int n, uint32_t mode) {
    if (mode == 0) {
        float left = meter.left;
        float right = meter.right;
        for (int i = 0; i < n; ++i) {
            const float magnitudeLeft = std::fabs(frames[i].left);
            const float magnitudeRight = std::fabs(frames[i].right);
            if (magnitudeLeft > left) left = magnitudeLeft;
            if (magnitudeRight > right) right = magnitudeRight;
            left = left * kPeakMeterDecay;
            right = right * kPeakMeterDecay;
        }
        meter.left = left;
        meter.right = right;
        return;
    }
    float sumLeft = 0.0f;
    float sumRight = 0.0f;
    for (int i = 0; i < n; ++i) {
        sumLeft = sumLeft + frames[i].left * frames[i].left;
        sumRight = sumRight + frames[i].right * frames[i].right;
    }
    meter.left = sumLeft / static_cast<float>(n);
    meter.right = sumRight / static_cast<float>(n);
}

void updateMeters(dsp::SimdPath path, StereoFrame* const* meters, const StereoFrame* const* frames, int count, int n,
                  uint32_t mode) {
    int first = 0;
#if defined(ZIMBLO_X86_LANES)
    if (path != dsp::SimdPath::Scalar) {
        for (; count - first >= 8; first += 8) run<4>(meters + first, frames + first, n, mode);
        if (count - first >= 4) {
            run<2>(meters + first, frames + first, n, mode);
            first += 4;
        }
        if (count - first >= 2) {
            run<1>(meters + first, frames + first, n, mode);
            first += 2;
        }
    }
#endif
    (void)path;
    for (; first < count; ++first) updateMeter(*meters[first], frames[first], n, mode);
}

}  // namespace zimblo::synth
