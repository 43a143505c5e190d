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
    for (size_t start = 0; start < bus.size(); start += block) {
        const int n = static_cast<int>(std::min<size_t>(block, bus.size() - start));
        reverb.process(bus.data() + start, master.data() + start, n);
    }
    return master;
}

double energyDb(const Output& out, int from, int to, float StereoFrame::*side) {
    double sum = 0.0;
    for (int i = from; i < to; ++i) sum += double(out[i].*side) * double(out[i].*side);
    return 10.0 * std::log10(sum);
}

TEST(Reverb, LoopGainsShareOneDecayRate) {
    auto reverb = makeReverb({63, 64, 64, 32});  // x = 1 leaves the table as it is
    const float table[6] = {0.96638459f, 0.958186388f, 0.953783929f,
                            0.950933158f, 0.994260073f, 0.998044729f};
    const float* gains[6] = {&reverb->fb0, &reverb->fb1, &reverb->fb2,
                             &reverb->fb3, &reverb->ap0, &reverb->ap1};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(*gains[k], table[k]) << k;
    EXPECT_EQ(reverb->inGain, 0.25f);

    // r0 = 127 (x = 0.25): every loop loses 2.61e-5·x per frame of its left line.
    reverb->setParams(Params{127, 128, 0, 128}.data());
    const int lengths[6] = {1309, 1635, 1811, 1926, 220, 74};
    for (int k = 0; k < 6; ++k) EXPECT_NEAR(std::log(*gains[k]) / lengths[k], -6.525e-6, 1e-7);
    // r0 = 0 (x = 4096): the comb gains vanish, the allpass gains only shrink.
    reverb->setParams(Params{0, 128, 0, 128}.data());
    EXPECT_EQ(reverb->fb0 + reverb->fb1 + reverb->fb2 + reverb->fb3, 0.0f);
    EXPECT_GT(reverb->ap0, 0.0f);

    // At 88200 Hz the rate scale 0.5 halves x, damp and hpCoef.
    dsp::setSampleRate(88200);
    reverb->setParams(Params{63, 128, 128, 128}.data());
    dsp::setSampleRate(44100);
    EXPECT_EQ(reverb->fb0, dsp::power(0.96638459f, 0.5f));
    EXPECT_EQ(reverb->damp, 0.5f);
    EXPECT_EQ(reverb->hpCoef, 0.5f);
}

TEST(Reverb, SilentSettingsAddNothing) {
    const auto bus = noise(4000, 1);
    const StereoFrame base{0.25f, -0.5f};
    // r1 = 0: the comb low-passes never move from 0. r0 = 0: the + and − combs
    // carry exactly opposite values and cancel.
    for (const Params& p : {Params{63, 0, 64, 128}, Params{0, 128, 64, 128}}) {
        auto reverb = makeReverb(p);
        for (const StereoFrame& f : run(*reverb, bus, 128, base)) {
            ASSERT_EQ(f.left, base.left);
            ASSERT_EQ(f.right, base.right);
        }
        EXPECT_EQ(reverb->lp2, -reverb->lp1);
        EXPECT_EQ(reverb->lp8, -reverb->lp7);
    }
}

TEST(Reverb, HighPassFollowsTheNetworkOnEachSide) {
    const auto bus = noise(3000, 6);
    auto dry = makeReverb({40, 100, 0, 128});
    auto wet = makeReverb({40, 100, 64, 128});  // hpCoef = 0.5^4
    const Output y = run(*dry, bus);
    const Output out = run(*wet, bus);
    EXPECT_EQ(dry->hpL, 0.0f);  // r2 = 0: the output is y itself
    EXPECT_EQ(dry->hpR, 0.0f);
    StereoFrame low{};
    for (size_t i = 0; i < bus.size(); ++i) {
        low.left = low.left + (y[i].left - low.left) * 0.0625f;
        low.right = low.right + (y[i].right - low.right) * 0.0625f;
        ASSERT_EQ(out[i].left, y[i].left - low.left) << i;
        ASSERT_EQ(out[i].right, y[i].right - low.right) << i;
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
    EXPECT_EQ(first->lp1, 1.0f + kDenormalGuard);
    EXPECT_EQ(first->lp8, -1.0f - kDenormalGuard);
    EXPECT_EQ(master[0].left, 0.0f);
    EXPECT_EQ(master[0].right, 0.0f);

    // One comb at a time: its echo, with its input's sign, arrives after exactly its
    // length and passes both allpasses at once as (−ap0)·(−ap1).
    struct Case { float Reverb::*feedback; int left, right; float sign; };
    for (const Case& c : {Case{&Reverb::fb0, 1309, 1327, 1}, Case{&Reverb::fb1, 1635, 1631, -1},
                          Case{&Reverb::fb2, 1811, 1833, 1}, Case{&Reverb::fb3, 1926, 1901, -1}}) {
        auto reverb = makeReverb({63, 128, 0, 128});
        reverb->fb0 = reverb->fb1 = reverb->fb2 = reverb->fb3 = 0.0f;
        (*reverb).*c.feedback = 0.5f;
        const Output out = run(*reverb, bus);
        for (int i = 0; i < c.left; ++i) ASSERT_EQ(out[i].left, 0.0f) << c.left << " " << i;
        for (int i = 0; i < c.right; ++i) ASSERT_EQ(out[i].right, 0.0f) << c.right << " " << i;
        const float echo = c.sign * 0.5f * reverb->ap0 * reverb->ap1;
        EXPECT_NEAR(out[c.left].left, echo, 1e-5f) << c.left;
        EXPECT_NEAR(out[c.right].right, echo, 1e-5f) << c.right;
    }
}

TEST(Reverb, SidesDifferButDecayAlike) {
    std::vector<float> bus = noise(2000, 2);
    bus.resize(90200, 0.0f);
    auto reverb = makeReverb({63, 128, 16, 128});
    const Output out = run(*reverb, bus);
    int differing = 0;
    for (int i = 2000; i < 4000; ++i) differing += std::fabs(out[i].left - out[i].right) > 1e-3f;
    EXPECT_GT(differing, 1000);
    // −60 dB in about 6 s: about 10 dB from one second to the next, on both sides.
    const double dropL = energyDb(out, 22050, 44100, &StereoFrame::left) -
                         energyDb(out, 66150, 88200, &StereoFrame::left);
    const double dropR = energyDb(out, 22050, 44100, &StereoFrame::right) -
                         energyDb(out, 66150, 88200, &StereoFrame::right);
    EXPECT_NEAR(dropL, 10.0, 2.0);
    EXPECT_NEAR(dropL, dropR, 1.0);
}

TEST(Reverb, ClearStateEqualsAFreshUnitAndBlocksDoNotMatter) {
    const Params p{40, 100, 30, 90};
    auto used = makeReverb(p);
    auto fresh = makeReverb(p);
    run(*used, noise(3000, 3));
    used->clearState();
    EXPECT_EQ(std::memcmp(used.get(), fresh.get(), sizeof(Reverb)), 0);
    const auto bus = noise(2800, 4);
    const Output a = run(*used, bus, 280);
    const Output b = run(*fresh, bus, 37);
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(StereoFrame)), 0);
    EXPECT_EQ(std::memcmp(used.get(), fresh.get(), sizeof(Reverb)), 0);
    used->clear();
    EXPECT_EQ(std::memcmp(used.get(), std::make_unique<Reverb>().get(), sizeof(Reverb)), 0);
}

TEST(Reverb, StoredSubnormalClearsTheStateAfterTheBlock) {
    const float tiny = 1e-40f;
    const std::vector<float> bus(64, 0.0f);
    // r1 = 0 keeps y at 0, so a planted value is stored unchanged. Returns comb 1's
    // index after one block of 64: 0 once the state was cleared.
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
