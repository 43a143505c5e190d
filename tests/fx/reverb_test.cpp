#include "fx/reverb.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "dsp/maths.h"
#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

namespace zimblo::fx {
namespace {

using Params = std::array<float, 4>;
using Output = std::vector<StereoFrame>;

std::unique_ptr<Reverb> makeReverb(const Params& r) {
    auto reverb = std::make_unique<Reverb>();
    reverb->clear();
    reverb->setParams(r.data());
    return reverb;
}

std::vector<float> noise(int frames, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> out(frames);
    for (float& v : out) v = dist(rng);
    return out;
}

// The whole bus in blocks, into a master that starts at `base`.
Output run(Reverb& reverb, const std::vector<float>& bus, int block = 128, StereoFrame base = {}) {
    Output master(bus.size(), base);
    for (size_t start = 0; start < bus.size(); start += block)
        reverb.process(bus.data() + start, master.data() + start, std::min<int>(block, bus.size() - start));
    return master;
}

bool same(const void* a, const void* b, size_t bytes) { return std::memcmp(a, b, bytes) == 0; }

TEST(Reverb, LoopGainsShareOneDecayRate) {
    // Every loop loses 2.61e-5·x per frame of its left line, x = (64/(r0 + 1))²·(44100/fs);
    // at 88200 Hz the rate scale 0.5 also halves damp and hpCoef.
    const int lengths[6] = {1309, 1635, 1811, 1926, 220, 74};
    const struct { float r0; int rate; double perFrame; } cases[] = {{63, 44100, -2.61e-5}, {127, 44100, -6.525e-6}, {63, 88200, -1.305e-5}};
    for (const auto& c : cases) {
        dsp::setSampleRate(c.rate);
        auto reverb = makeReverb({c.r0, 128, 128, 32});
        dsp::setSampleRate(44100);
        const float gains[6] = {reverb->fb0, reverb->fb1, reverb->fb2, reverb->fb3, reverb->ap0, reverb->ap1};
        for (int k = 0; k < 6; ++k) EXPECT_NEAR(std::log(gains[k]) / lengths[k], c.perFrame, 0.02 * -c.perFrame) << k;
        if (c.rate == 88200) {
            EXPECT_EQ(reverb->fb0, dsp::power(0.96638459f, 0.5f));  // x halved exactly
        }
        EXPECT_TRUE(reverb->damp == 44100.0f / c.rate && reverb->hpCoef == reverb->damp && reverb->inGain == 0.25f);
    }
    // r0 = 0 (x = 4096): the comb gains vanish, the allpass gains only shrink.
    auto reverb = makeReverb({0, 128, 0, 128});
    EXPECT_TRUE(reverb->fb0 + reverb->fb1 + reverb->fb2 + reverb->fb3 == 0.0f && reverb->ap0 > 0.0f);
}

TEST(Reverb, BelowTheReferenceRateTheSmoothersStayStable) {
    // Damping and low cut scale with 44100/fs; at 16000 Hz damping 127 would make the
    // combs' low-pass step 2.73, and one-pole steps above 2 grow without bound. Both
    // coefficients are held at 1 (128 at 44100 Hz) or their 44100 Hz value if larger.
    const auto bus = noise(32000, 3);
    dsp::setSampleRate(16000);
    auto slow = makeReverb({30, 127, 128, 87});
    const auto damped = makeReverb({30, 40, 25, 87});
    const auto raw = makeReverb({30, 200, 25, 87});
    const Output out = run(*slow, bus);
    dsp::setSampleRate(44100);
    EXPECT_TRUE(slow->damp == 1.0f && slow->hpCoef == 1.0f);
    EXPECT_EQ(damped->damp, 40.0f / 128.0f * (44100.0f / 16000.0f));  // below 1: scaled exactly
    EXPECT_EQ(raw->damp, makeReverb({30, 200, 25, 87})->damp);       // above 128: as at 44100 Hz
    float peak = 0.0f;
    for (const StereoFrame& f : out)
        for (float v : {f.left, f.right}) peak = std::isfinite(v) ? std::max(peak, std::fabs(v)) : 1e30f;
    EXPECT_LE(peak, 8.0f);
}

TEST(Reverb, SilentSettingsAddNothing) {
    const auto bus = noise(4000, 1);
    // r1 = 0: the comb low-passes never move from 0. r0 = 0: the + and − combs
    // carry exactly opposite values and cancel.
    for (const Params& p : {Params{63, 0, 64, 128}, Params{0, 128, 64, 128}}) {
        auto reverb = makeReverb(p);
        for (const StereoFrame& f : run(*reverb, bus, 128, {0.25f, -0.5f})) ASSERT_TRUE(f.left == 0.25f && f.right == -0.5f);
        EXPECT_TRUE(reverb->lp2 == -reverb->lp1 && reverb->lp8 == -reverb->lp7);
    }
}

TEST(Reverb, HighPassFollowsTheNetworkOnEachSide) {
    const auto bus = noise(3000, 6);
    auto dry = makeReverb({40, 100, 0, 128});
    const Output y = run(*dry, bus), out = run(*makeReverb({40, 100, 64, 128}), bus);  // hpCoef = 0.5^4
    EXPECT_TRUE(dry->hpL == 0.0f && dry->hpR == 0.0f);  // r2 = 0: the output is y itself
    StereoFrame low{};
    for (size_t i = 0; i < bus.size(); ++i) {
        low = {low.left + (y[i].left - low.left) * 0.0625f, low.right + (y[i].right - low.right) * 0.0625f};
        ASSERT_TRUE(out[i].left == y[i].left - low.left && out[i].right == y[i].right - low.right) << i;
    }
}

TEST(Reverb, ImpulseCancelsAtOnceAndEchoesAfterEachComb) {
    // damp = 1, inGain = 1: the impulse puts ±(1 + ε) into the combs at once, and
    // their sum is exactly 0 until the first line comes round.
    std::vector<float> bus(2000, 0.0f);
    bus[0] = 1.0f;
    auto first = makeReverb({63, 128, 0, 128});
    Output master(1);
    first->process(bus.data(), master.data(), 1);
    EXPECT_TRUE(first->lp1 == 1.0f + kDenormalGuard && first->lp8 == -1.0f - kDenormalGuard);
    EXPECT_TRUE(master[0].left == 0.0f && master[0].right == 0.0f);
    // One comb at a time: its echo, with its input's sign, arrives after exactly its
    // length and passes both allpasses at once as (−ap0)·(−ap1).
    struct Case { float Reverb::*feedback; int left, right; float sign; };
    for (const Case& c : {Case{&Reverb::fb0, 1309, 1327, 1}, Case{&Reverb::fb1, 1635, 1631, -1},
                          Case{&Reverb::fb2, 1811, 1833, 1}, Case{&Reverb::fb3, 1926, 1901, -1}}) {
        auto reverb = makeReverb({63, 128, 0, 128});
        reverb->fb0 = reverb->fb1 = reverb->fb2 = reverb->fb3 = 0.0f;
        (*reverb).*c.feedback = 0.5f;
        const Output out = run(*reverb, bus);
        for (int i = 0; i < c.right || i < c.left; ++i)
            ASSERT_TRUE((i >= c.left || out[i].left == 0.0f) && (i >= c.right || out[i].right == 0.0f)) << c.left << " " << i;
        const float echo = c.sign * 0.5f * reverb->ap0 * reverb->ap1;
        EXPECT_NEAR(out[c.left].left, echo, 1e-5f) << c.left;
        EXPECT_NEAR(out[c.right].right, echo, 1e-5f) << c.right;
    }
}

TEST(Reverb, SidesDifferButDecayAlike) {
    std::vector<float> bus = noise(2000, 2);
    bus.resize(90200, 0.0f);
    const Output out = run(*makeReverb({63, 128, 16, 128}), bus);
    int differing = 0;
    for (int i = 2000; i < 4000; ++i) differing += std::fabs(out[i].left - out[i].right) > 1e-3f;
    EXPECT_GT(differing, 1000);
    // −60 dB in about 6 s: about 10 dB from one second to the next, on both sides.
    const auto drop = [&](float StereoFrame::*side) {
        double early = 0.0, late = 0.0;
        for (int i = 22050; i < 44100; ++i) early += double(out[i].*side) * (out[i].*side);
        for (int i = 66150; i < 88200; ++i) late += double(out[i].*side) * (out[i].*side);
        return 10.0 * std::log10(early / late);
    };
    EXPECT_NEAR(drop(&StereoFrame::left), 10.0, 2.0);
    EXPECT_NEAR(drop(&StereoFrame::left), drop(&StereoFrame::right), 1.0);
}

TEST(Reverb, ClearStateEqualsAFreshUnitAndBlocksDoNotMatter) {
    const Params p{40, 100, 30, 90};
    auto used = makeReverb(p), fresh = makeReverb(p);
    run(*used, noise(3000, 3));
    used->clearState();
    EXPECT_TRUE(same(used.get(), fresh.get(), sizeof(Reverb)));
    const auto bus = noise(2800, 4);
    const Output a = run(*used, bus, 280), b = run(*fresh, bus, 37);
    EXPECT_TRUE(same(a.data(), b.data(), a.size() * sizeof(StereoFrame)) && same(used.get(), fresh.get(), sizeof(Reverb)));
    used->clear();
    EXPECT_TRUE(same(used.get(), std::make_unique<Reverb>().get(), sizeof(Reverb)));
}

TEST(Reverb, StoredSubnormalClearsTheStateAfterTheBlock) {
    const float tiny = 1e-40f;
    const std::vector<float> bus(64, 0.0f);
    // r1 = 0 keeps y at 0, so a planted value is stored unchanged. Returns comb 1's
    // index after one block of 64: 0 once the state was cleared (coefficients stay).
    auto indexAfter = [&](auto plant, float masterValue) {
        auto reverb = makeReverb({63, 0, 0, 128});
        plant(*reverb);
        Output master(64);
        master[10].right = masterValue;
        reverb->process(bus.data(), master.data(), 64);
        EXPECT_EQ(reverb->fb0, 0.96638459f);
        return reverb->comb1Index;
    };
    auto nothing = [](Reverb&) {};
    EXPECT_EQ(indexAfter(nothing, 0x1p-126f), 64);  // the smallest normal float is fine
    EXPECT_EQ(indexAfter(nothing, tiny), 0);        // into the master
    EXPECT_EQ(indexAfter([&](Reverb& r) { r.hpL = tiny; }, 0.0f), 0);   // a filter state
    EXPECT_EQ(indexAfter([&](Reverb& r) { r.lp6 = -tiny; }, 0.0f), 0);  // a comb line
    EXPECT_EQ(indexAfter([&](Reverb& r) { r.allpass4Line[0] = tiny; r.ap1 = 0.5f; }, 0.0f), 0);
    EXPECT_EQ(indexAfter([&](Reverb& r) { r.lp3 = 0.5f; r.hpR = tiny; }, 0.0f), 0);
}

}  // namespace
}  // namespace zimblo::fx
