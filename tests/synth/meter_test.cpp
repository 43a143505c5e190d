// Meters side by side against each meter alone: every count from 1 to 17 (full and partial
// register pairs, the odd one out), both modes, frames of every size from 1 to the longest,
// samples of both signs near subnormal sizes, zeros of both signs, peaks equal to the decayed
// meter, infinities and NaNs.
#include "synth/meter.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "dsp/rate_constants.h"
#include "same_bits.h"

namespace zimblo::synth {
namespace {

constexpr int kLongest = dsp::kMaxFrameLength;

float sample(std::mt19937& random, float meter) {
    switch (random() % 8) {
        case 0:
            return std::uniform_real_distribution<float>(-1e-40f, 1e-40f)(random);
        case 1:
            return (random() % 2 == 0 ? -1.0f : 1.0f) * meter;  // the meter's own value
        case 2:
            return random() % 2 == 0 ? -0.0f : 0.0f;
        case 3:
            return random() % 50 == 0 ? (random() % 2 == 0 ? INFINITY : NAN) : 0.25f;
        default:
            return std::uniform_real_distribution<float>(-2.0f, 2.0f)(random);
    }
}

TEST(Meters, SideBySideMatchEachMeterAloneBitForBit) {
    std::mt19937 random{99};
    for (const dsp::SimdPath path : {dsp::SimdPath::Sse2, dsp::SimdPath::Avx2, dsp::SimdPath::Avx512}) {
        if (!dsp::simdPathAvailable(path)) continue;
        for (int trial = 0; trial < 300; ++trial) {
            const int count = 1 + trial % 17;
            const uint32_t mode = trial % 3 == 2 ? 1u : 0u;
            const int n = 1 + static_cast<int>(random() % kLongest);
            std::vector<StereoFrame> expected(count);
            for (StereoFrame& meter : expected) {
                meter = {std::uniform_real_distribution<float>(0.0f, 1.0f)(random), 0x1p-130f};
            }
            std::vector<StereoFrame> actual = expected;
            std::vector<std::array<StereoFrame, kLongest>> frames(count);
            for (int m = 0; m < count; ++m) {
                for (int i = 0; i < n; ++i) frames[m][i] = {sample(random, expected[m].left), sample(random, 0.5f)};
            }
            std::vector<StereoFrame*> meters(count);
            std::vector<const StereoFrame*> from(count);
            for (int m = 0; m < count; ++m) {
                updateMeter(expected[m], frames[m].data(), n, mode);
                meters[m] = &actual[m];
                from[m] = frames[m].data();
            }
            updateMeters(path, meters.data(), from.data(), count, n, mode);
            ASSERT_TRUE(sameBits(expected.data(), actual.data(), count * sizeof(StereoFrame)))
                << dsp::simdPathName(path) << " trial " << trial;
        }
    }
}

}  // namespace
}  // namespace zimblo::synth
