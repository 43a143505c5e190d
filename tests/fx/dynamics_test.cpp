#include "fx/dynamics.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "dsp/numerics.h"

namespace zimblo::fx {
namespace {

using Params = std::array<float, 9>;
using Signal = std::vector<StereoFrame>;

// Linked peak, makeup off (outGain = G), no lookahead, T = 0.25 exactly (d4 = 64),
// ratio 0, instant attack and release, 0 dB.
constexpr Params kPlain = {1, 0, 1, 0, 64, 0, 0, 0, 64};

Params with(Params p, std::initializer_list<std::pair<int, float>> changes) {
    for (auto [index, value] : changes) p[index] = value;
    return p;
}

// As the engine leaves a unit: zeroed record, then reset.
std::unique_ptr<Dynamics> makeUnit() {
    auto unit = std::make_unique<Dynamics>();
    unit->reset();
    return unit;
}

Signal noise(int frames, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    Signal out(frames);
    for (auto& f : out) f = {dist(rng), dist(rng)};
    return out;
}

// Control frames of `block`, parameters set before each as the channel strip does;
// returns the last frame's levels.
StereoFrame run(Dynamics& unit, const Params& p, Signal& signal, int block = 128) {
    std::array<StereoFrame, 280> levels{};
    int last = 0;
    for (size_t start = 0; start < signal.size(); start += block) {
        last = static_cast<int>(std::min<size_t>(block, signal.size() - start)) - 1;
        unit.setParams(p.data());
        unit.process(signal.data() + start, last + 1, levels.data());
    }
    return levels[last];
}

bool same(const Signal& a, const Signal& b) { return std::memcmp(a.data(), b.data(), a.size() * sizeof(StereoFrame)) == 0; }

TEST(Dynamics, ParametersGiveModeAndCoefficients) {
    const float cases[][3] = {{0, 0, 5}, {0, 1, 7}, {1, 0, 0},    {1, 1, 2},    {2, 0, 1},
                              {2, 1, 3}, {3, 0, 0}, {0.5f, 0, 5}, {2.5f, 1, 3}, {1, 4, 8}};
    auto u = makeUnit();
    for (const auto& c : cases) {
        u->setParams(with(kPlain, {{0, c[0]}, {1, c[1]}}).data());
        EXPECT_EQ(u->mode, static_cast<int32_t>(c[2])) << c[0] << " " << c[1];
    }
    u->setParams(Params{1, 0, 0, 1, 64, 32, 32, 8, 80}.data());
    EXPECT_TRUE(u->lookahead == 44 && u->invThreshold == 4.0f && u->ratio == 0.25f);
    EXPECT_TRUE(u->attack == 0.125f && u->release == 0.5f && u->outGain == 0.5f);  // G·T = 2·0.25
    u->setParams(Params{1, 0, 1, 129, 0, 0, 0, 0, 48}.data());
    EXPECT_TRUE(u->lookahead == 5689 && u->invThreshold == 128.0f && u->outGain == 0.5f);  // G
}

TEST(Dynamics, NeutralSettingsDelayByLookaheadPlusOneAndBypassIsNone) {
    // Ratio 0 never reduces the gain: every detector leaves the lookahead line alone.
    const Signal input = noise(600, 3);
    for (float kind : {1.0f, 2.0f})
        for (float stereo : {0.0f, 1.0f})
            for (float ms : {0.0f, 1.0f}) {
                const int delay = ms == 0.0f ? 1 : 45;
                Signal unity = input, scaled = input;
                run(*makeUnit(), with(kPlain, {{0, kind}, {1, stereo}, {2, 0}, {3, ms}}), unity);
                run(*makeUnit(), with(kPlain, {{0, kind}, {1, stereo}, {3, ms}}), scaled);
                for (int i = 0; i < 600; ++i) {
                    const StereoFrame x = i >= delay ? input[i - delay] : StereoFrame{};
                    ASSERT_TRUE(unity[i].left == x.left && unity[i].right == x.right) << i;
                    ASSERT_EQ(scaled[i].right, x.right * 4.0f) << i;  // stays divided by T
                }
            }
    // Bypass (d0 = 0) changes no bit and freezes the line; it plays out afterwards.
    auto unit = makeUnit();
    Signal primed = input;
    run(*unit, with(kPlain, {{3, 1}}), primed);
    for (float stereo : {0.0f, 1.0f}) {
        Signal signal = noise(500, 2);
        run(*unit, with(kPlain, {{0, 0}, {1, stereo}}), signal);
        EXPECT_TRUE(same(signal, noise(500, 2)));
    }
    Signal after(45);
    run(*unit, with(kPlain, {{3, 1}}), after);
    for (int i = 0; i < 45; ++i) EXPECT_EQ(after[i].left, input[555 + i].left * 4.0f) << i;
}

TEST(Dynamics, PeakLevelsSetGainsByTheRatioAndSmoothing) {
    // Left at −1 is level 4: 1/(1 + 3·0.5) = 0.4; right exactly at the threshold
    // (level 1) takes the ratio formula too and keeps gain 1.
    Signal signal(256, StereoFrame{-1.0f, 0.25f});
    auto stereo = makeUnit();
    run(*stereo, with(kPlain, {{1, 1}, {5, 64}}), signal);
    EXPECT_TRUE(stereo->gainL == 0.4f && stereo->gainR == 1.0f && signal[200].left == -4.0f * 0.4f);
    // Loud left, silent right: linked detection (mid 0.5 = level 2) reduces both.
    signal.assign(256, StereoFrame{1.0f, 0.0f});
    auto linked = makeUnit();
    run(*linked, with(kPlain, {{5, 128}}), signal);
    EXPECT_TRUE(linked->gainL == 0.5f && linked->gainR == 0.5f);
    // Attack 2^-3: gain_k = t + (1 − t)·0.875^k.
    auto unit = makeUnit();
    signal.assign(20, StereoFrame{1.0f, 1.0f});
    run(*unit, Params{1, 1, 1, 0, 64, 64, 32, 0, 64}, signal);
    EXPECT_NEAR(unit->gainL, 0.4f + 0.6f * std::pow(0.875f, 20.0f), 1e-6f);
    // A zeroed unit whose first mode is 0 (= lastMode) keeps gain 0 and fades in
    // at the release rate 2^-1; another first mode starts at 1.
    for (float stereo : {0.0f, 1.0f}) {
        Signal quiet(12, StereoFrame{0.125f, 0.125f});
        run(*makeUnit(), Params{1, stereo, 0, 0, 64, 64, 0, 8, 64}, quiet);
        for (int k = 1; k < 12; ++k)
            ASSERT_EQ(quiet[k].left, stereo == 0.0f ? 0.125f - std::ldexp(0.125f, -k - 1) : 0.125f) << k;
    }
}

TEST(Dynamics, OnlyAModeChangeRestartsDetectorAndGains) {
    auto unit = makeUnit();
    const Params rms = {2, 1, 1, 2, 64, 128, 0, 64, 64};
    Signal loud(1000, StereoFrame{1.0f, -1.0f});
    run(*unit, rms, loud);
    const float gain = unit->gainL;
    run(*unit, rms, loud);
    EXPECT_LT(unit->gainL, gain);  // the same mode again carries on
    const int32_t lookIndex = unit->lookIndex, rmsIndex = unit->rmsIndex;
    unit->setParams(with(rms, {{1, 0}}).data());
    EXPECT_TRUE(unit->gainL == 1.0f && unit->gainR == 1.0f && unit->rmsSumL + unit->rmsSumR == 0.0f);
    for (float square : unit->rmsWindow) ASSERT_EQ(square, 0.0f);
    EXPECT_TRUE(unit->lookIndex == lookIndex && unit->rmsIndex == rmsIndex);
}

TEST(Dynamics, DetectorsSettleWhereTheirMathsSays) {
    auto peak = makeUnit();
    Signal silence(60000);
    run(*peak, with(kPlain, {{1, 1}}), silence);
    const float rest = kDenormalGuard / (1.0f - 0.9998f);
    EXPECT_NEAR(peak->peakR, rest, rest * 1e-3f);
    // RMS of a constant a over the 8192-frame window: sqrt(k/8192)·(a + ε)/T.
    auto rms = makeUnit();
    const Params stereoRms = with(kPlain, {{0, 2}, {1, 1}});
    Signal constant(2048, StereoFrame{0.5f, -0.25f});
    EXPECT_NEAR(run(*rms, stereoRms, constant).left, 0.5f * 0.5f * 4.0f, 1e-3f);
    constant.assign(6144, StereoFrame{0.5f, -0.25f});
    EXPECT_NEAR(run(*rms, stereoRms, constant).right, 0.25f * 4.0f, 1e-3f);
    silence.assign(8191, StereoFrame{});  // one square left, then none
    EXPECT_NEAR(run(*rms, stereoRms, silence).left, 0.5f / std::sqrt(8192.0f) * 4.0f, 2e-3f);
    silence.assign(1, StereoFrame{});
    EXPECT_LT(run(*rms, stereoRms, silence).left, 4e-3f);
    // A running sum that rounding left below 0 reads as silence, not NaN.
    for (float stereo : {0.0f, 1.0f}) {
        auto unit = makeUnit();
        const Params p = with(kPlain, {{0, 2}, {1, stereo}});
        unit->setParams(p.data());
        unit->rmsSumL = unit->rmsSumR = -1e-3f;
        Signal zeros(128);
        const StereoFrame level = run(*unit, p, zeros);
        EXPECT_TRUE(level.left == 0.0f && level.right == 0.0f) << stereo;
        EXPECT_LT(unit->rmsSumL, 0.0f);  // the sum itself still tracks the window
    }
}

TEST(Dynamics, LookaheadNeverLeavesTheLine) {
    // d3 = 255 asks for 11246 frames: held at the line's 5700 slots.
    auto unit = makeUnit();
    Signal ramp(8700);
    for (int i = 0; i < 8700; ++i) ramp[i] = {float(i + 1), 0.0f};
    const Params longest = with(kPlain, {{2, 0}, {3, 255}});
    run(*unit, longest, ramp);
    for (int i = 0; i < 8700; ++i) ASSERT_EQ(ramp[i].left, i >= 5700 ? float(i - 5699) : 0.0f);
    // Shrunk to 0 with lookIndex at 3000: that slot is read once, then slot 0 only.
    Signal next = {{8701, 0}, {8702, 0}, {8703, 0}};
    run(*unit, with(longest, {{3, 0}}), next);
    EXPECT_TRUE(next[0].left == 3001.0f && next[1].left == 5701.0f && next[2].left == 8702.0f);
    EXPECT_EQ(unit->lookIndex, 0);
}

TEST(Dynamics, SplitBlocksMatchOneBlock) {
    for (float kind : {1.0f, 2.0f})
        for (float stereo : {0.0f, 1.0f}) {
            const Params p = {kind, stereo, 0, 1, 40, 100, 20, 30, 70};
            auto whole = makeUnit(), split = makeUnit();
            Signal a = noise(2240, 5), b = a;
            run(*whole, p, a, 280);
            run(*split, p, b, 70);
            EXPECT_TRUE(same(a, b));
            EXPECT_EQ(std::memcmp(whole.get(), split.get(), sizeof(Dynamics)), 0);
        }
}

}  // namespace
}  // namespace zimblo::fx
