// Strips' dynamics and bass shelves side by side against each strip run alone on the scalar
// path: outputs and every field of both units (lookahead line and RMS window included) must
// match to the bit, on every SIMD path this processor offers.
#include "fx/strip_lanes.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "same_bits.h"

namespace zimblo::fx {
namespace {

constexpr int kFrames = 280;

struct Draw {
    std::mt19937 random{4242};
    int upTo(int n) { return static_cast<int>(random() % static_cast<uint32_t>(n + 1)); }
    bool chance(int percent) { return upTo(99) < percent; }
    float between(float low, float high) { return std::uniform_real_distribution<float>(low, high)(random); }
    // Dynamics settings: every kind (off, peak, RMS, a fraction, an out-of-range byte), linked
    // and stereo, makeup on and off, lookaheads from none to beyond the line, thresholds low
    // enough to reduce the gain, ratio 0, instant and slow attacks and releases.
    std::array<float, 9> dynamics() {
        std::array<float, 9> d{};
        d[0] = chance(10) ? between(0.0f, 3.0f) : static_cast<float>(upTo(chance(5) ? 255 : 2));
        d[1] = static_cast<float>(upTo(chance(10) ? 3 : 1));
        d[2] = static_cast<float>(upTo(1));
        switch (upTo(3)) {
            case 0:
                d[3] = 0.0f;
                break;
            case 1:
                d[3] = static_cast<float>(upTo(3));
                break;
            case 2:
                d[3] = between(0.0f, 128.0f);
                break;
            default:
                d[3] = static_cast<float>(upTo(255));
                break;
        }
        d[4] = static_cast<float>(upTo(chance(60) ? 40 : 128));
        d[5] = chance(15) ? 0.0f : static_cast<float>(upTo(128));
        d[6] = chance(30) ? 0.0f : static_cast<float>(upTo(128));
        d[7] = chance(30) ? 0.0f : static_cast<float>(upTo(128));
        d[8] = static_cast<float>(upTo(128));
        return d;
    }
    float shelf() { return chance(35) ? static_cast<float>(upTo(1)) * 0.4f : between(0.0f, 128.0f); }
    // A sample: loud (the gain reduction at work), ordinary, tiny, subnormal or zero.
    float sample(int kind) {
        switch (kind) {
            case 0:
                return between(-8.0f, 8.0f);
            case 1:
                return between(-1.0f, 1.0f);
            case 2:
                return between(-1e-37f, 1e-37f);
            case 3:
                return between(-1e-40f, 1e-40f);
            default:
                return 0.0f;
        }
    }
};

struct Strip {
    Dynamics dynamics;
    LowShelf shelf;
    std::array<StereoFrame, kFrames> buffer{};
};

class StripLanesTest : public ::testing::TestWithParam<dsp::SimdPath> {
protected:
    void SetUp() override {
        if (!dsp::simdPathAvailable(GetParam())) GTEST_SKIP() << "this processor lacks the path";
    }
    std::array<StereoFrame, kFrames> levels{};
};

// Random strip counts 1..16 (partial groups, more than one pass on four lanes), random mixes of
// modes per strip, settings changed between frames (lookaheads that shrink under the line's
// index, modes that restart the detector), several frames in a row.
TEST_P(StripLanesTest, StripsMatchEachStripAloneOnTheScalarPathBitForBit) {
    Draw draw;
    for (int trial = 0; trial < 120; ++trial) {
        const int count = 1 + trial % 16;
        std::vector<std::unique_ptr<Strip>> reference;
        std::vector<std::unique_ptr<Strip>> grouped;
        for (int s = 0; s < count; ++s) {
            reference.push_back(std::make_unique<Strip>());
            reference.back()->dynamics.reset();
            grouped.push_back(std::make_unique<Strip>());
            grouped.back()->dynamics.reset();
        }
        for (int frame = 0; frame < 4; ++frame) {
            const int n = 1 + draw.upTo(kFrames - 1);
            for (int s = 0; s < count; ++s) {
                Strip& strip = *reference[s];
                if (frame == 0 || draw.chance(30)) {
                    const std::array<float, 9> d = draw.dynamics();
                    strip.dynamics.setParams(d.data());
                    strip.shelf.setParams(draw.shelf());
                }
                if (frame == 0) {
                    // A history: a line and window full of earlier input at any slot, a
                    // running gain and envelope anywhere in their range.
                    Dynamics& unit = strip.dynamics;
                    const int kind = draw.upTo(4);
                    for (StereoFrame& f : unit.lookLine) f = {draw.sample(kind), draw.sample(kind)};
                    for (float& square : unit.rmsWindow) square = draw.sample(kind) * draw.sample(kind);
                    unit.lookIndex = draw.upTo(unit.lookahead);
                    unit.rmsIndex = draw.upTo(Dynamics::kRmsFrames - 1);
                    unit.rmsSumL = draw.between(-1e-6f, 4.0f);
                    unit.rmsSumR = draw.between(0.0f, 4.0f);
                    unit.peakL = draw.between(0.0f, 8.0f);
                    unit.peakR = draw.sample(draw.upTo(4));
                    unit.gainL = draw.between(0.0f, 1.0f);
                    unit.gainR = draw.chance(20) ? 1.0f : draw.between(0.0f, 1.0f);
                    strip.shelf.x1L = draw.sample(kind);
                    strip.shelf.y2R = draw.sample(kind);
                }
                const int kind = draw.upTo(4);
                for (int i = 0; i < n; ++i) strip.buffer[i] = {draw.sample(kind), draw.sample(kind)};
                if (draw.chance(10)) {
                    for (int i = 0; i < n; ++i) strip.buffer[i].right = strip.buffer[i].left;
                }
                *grouped[s] = strip;
            }
            std::vector<Dynamics*> dynamics(count);
            std::vector<LowShelf*> shelves(count);
            std::vector<StereoFrame*> buffers(count);
            for (int s = 0; s < count; ++s) {
                Strip& alone = *reference[s];
                Dynamics* unit = &alone.dynamics;
                LowShelf* shelf = &alone.shelf;
                StereoFrame* buffer = alone.buffer.data();
                processDynamicsAndShelves(dsp::SimdPath::Scalar, &unit, &shelf, &buffer, 1, n, levels.data());
                dynamics[s] = &grouped[s]->dynamics;
                shelves[s] = &grouped[s]->shelf;
                buffers[s] = grouped[s]->buffer.data();
            }
            processDynamicsAndShelves(GetParam(), dynamics.data(), shelves.data(), buffers.data(), count, n,
                                      levels.data());
            for (int s = 0; s < count; ++s) {
                const Strip& expected = *reference[s];
                const Strip& actual = *grouped[s];
                ASSERT_TRUE(sameBits(expected.buffer.data(), actual.buffer.data(), sizeof expected.buffer))
                    << "trial " << trial << " frame " << frame << " strip " << s << " mode "
                    << expected.dynamics.mode;
                ASSERT_TRUE(sameBits(&expected.dynamics, &actual.dynamics, sizeof(Dynamics)))
                    << "dynamics, trial " << trial << " frame " << frame << " strip " << s;
                ASSERT_TRUE(sameBits(&expected.shelf, &actual.shelf, sizeof(LowShelf)))
                    << "shelf, trial " << trial << " frame " << frame << " strip " << s;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, StripLanesTest, ::testing::Values(dsp::SimdPath::Sse2, dsp::SimdPath::Avx2, dsp::SimdPath::Avx512),
                         [](const auto& info) { return std::string(dsp::simdPathName(info.param)); });

}  // namespace
}  // namespace zimblo::fx
