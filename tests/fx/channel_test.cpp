#include "fx/channel.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>

namespace zimblo::fx {
namespace {

constexpr int kFrames = 128;
constexpr int kChorusLine = 2048;
using Params = std::array<float, 29>;
using Block = std::array<StereoFrame, 280>;

// Volume v; shelf, shaper and dynamics off, chorus mix 64.
Params neutral(float v = 100.0f) {
    Params p{};
    p[0] = v;
    p[13] = 64.0f;
    return p;
}

struct Rig {
    std::unique_ptr<Channel> channel = std::make_unique<Channel>();
    std::array<float, 2 * kChorusLine> lines{};
    std::array<float, 280> reverb{}, delay{};
    Block aux1{}, aux2{}, master{}, level{};

    Rig() {
        channel->chorus.setLines(lines.data(), lines.data() + kChorusLine, kChorusLine - 1);
        channel->resetEffects();
    }
    void run(Block& buffer, const Params& p) {
        channel->setupEffects(p.data());
        channel->processStrip(buffer.data(), kFrames,
                              {reverb.data(), delay.data(), aux1.data(), aux2.data(), master.data()}, level.data());
    }
};

Block signal(float phase) {
    Block block{};
    for (int i = 0; i < kFrames; ++i) block[i] = {0.7f * std::sin(0.05f * i + phase) + 0.1f, 0.4f * std::sin(0.2f * i)};
    return block;
}

bool same(const Block& a, const Block& b) { return std::memcmp(a.data(), b.data(), kFrames * sizeof(StereoFrame)) == 0; }

TEST(Channel, NeutralStripOnlyRemovesDcAndSkipsSilentLoops) {
    Rig rig;
    rig.master.fill({0.125f, -0.25f});
    rig.aux1.fill({std::nanf(""), INFINITY});  // returns at 0 must not read them
    rig.aux2 = rig.aux1;
    dsp::DcBlocker first, second;
    for (int frame = 0; frame < 3; ++frame) {
        Block buffer = signal(frame * 1.3f), expected = buffer;
        first.renderStereo(expected.data(), expected.data(), kFrames);
        second.renderStereo(expected.data(), expected.data(), kFrames);
        const Block masterBefore = rig.master;
        rig.run(buffer, neutral());
        EXPECT_TRUE(same(buffer, expected)) << frame;
        for (int i = 0; i < kFrames; ++i)
            ASSERT_EQ(rig.master[i].right, masterBefore[i].right + expected[i].right * ((100.0f / 128.0f) * 0.6f)) << i;
    }
    EXPECT_EQ(rig.reverb[5], 0.0f);
}

TEST(Channel, SendsAndReturnsInChannelOrder) {
    // A silent channel (volume 0) sends nothing to master, reverb or delay, but
    // feeds aux 1 at 64/128·0.6 and aux 2 at 32/128·0.6.
    Rig rig;
    Params p = neutral(0.0f);
    p[3] = 64.0f;
    p[4] = 32.0f;
    p[5] = p[6] = 128.0f;
    rig.master.fill({0.125f, -0.25f});
    Block buffer = signal(0.0f);
    rig.run(buffer, p);
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_TRUE(rig.master[i].left == 0.125f && rig.reverb[i] == 0.0f && rig.delay[i] == 0.0f) << i;
        ASSERT_TRUE(rig.aux1[i].left == buffer[i].left * 0.3f && rig.aux2[i].right == buffer[i].right * 0.15f) << i;
    }
    // A later channel returns aux 1 at 1/2 and aux 2 at 1/4 before its strip (a
    // fresh strip passes its first frame unchanged) and sends (L + R)·0.6·0.6.
    Rig later;
    later.aux1 = rig.aux1;
    later.aux2 = rig.aux2;
    Params q = neutral(128.0f);
    q[1] = 64.0f;
    q[2] = 32.0f;
    q[5] = 128.0f;
    Block silent{};
    later.run(silent, q);
    EXPECT_EQ(silent[0].right, 0.5f * rig.aux1[0].right + 0.25f * rig.aux2[0].right);
    EXPECT_EQ(later.reverb[0], (silent[0].left + silent[0].right) * (0.6f * 0.6f));
    EXPECT_EQ(later.master[0].left, silent[0].left * 0.6f);
}

// P7 = 0.5 rounds to 0 (shaper first), 1.5 to 2 (chorus first). Every unit on:
// shelf, clip shaper with bias, chorus, stereo RMS dynamics.
TEST(Channel, ChainMatchesTheUnitsInEitherOrder) {
    Block outputs[2];
    for (int k = 0; k < 2; ++k) {
        const Params p = {96, 0, 0, 0, 0, 64, 32, k == 0 ? 0.5f : 1.5f, 100, 2, 64, 100, 80, 100, 80,
                          2, 3, 90, 40, 96, 2, 1, 0, 5, 60, 64, 20, 40, 64};
        Rig rig;
        std::array<float, 2 * kChorusLine> lines{};
        dsp::DcBlocker dc1, dc2;
        auto dyn = std::make_unique<Dynamics>();
        LowShelf shelf;
        dsp::Shaper shaper;
        ModDelay chorus;
        chorus.setLines(lines.data(), lines.data() + kChorusLine, kChorusLine - 1);
        dyn->reset();
        Block level{};
        for (int frame = 0; frame < 4; ++frame) {
            Block buffer = signal(frame * 0.9f), expected = buffer;
            shaper.setup(p.data() + 9);
            chorus.setParams(p.data() + 13);
            dyn->setParams(p.data() + 20);
            shelf.setParams(p[8]);
            dc1.renderStereo(expected.data(), expected.data(), kFrames);
            dyn->process(expected.data(), kFrames, level.data());
            shelf.process(expected.data(), kFrames);
            if (k == 1) chorus.processInsert(expected.data(), kFrames);
            shaper.renderStereo(expected.data(), expected.data(), kFrames);
            dc2.renderStereo(expected.data(), expected.data(), kFrames);
            if (k == 0) chorus.processInsert(expected.data(), kFrames);
            rig.reverb.fill(0.0f);
            rig.delay.fill(0.0f);
            rig.master.fill({});
            rig.run(buffer, p);
            ASSERT_TRUE(same(buffer, expected)) << k << " " << frame;
            const float volume = (96.0f / 128.0f) * 0.6f;  // sends: P5 = 64, P6 = 32, times the volume
            for (int i = 0; i < kFrames; ++i)
                ASSERT_TRUE(rig.master[i].left == buffer[i].left * volume &&
                            rig.reverb[i] == (buffer[i].left + buffer[i].right) * ((0.5f * 0.6f) * volume) &&
                            rig.delay[i] == (buffer[i].left + buffer[i].right) * ((0.25f * 0.6f) * volume)) << i;
            outputs[k] = buffer;
        }
    }
    EXPECT_FALSE(same(outputs[0], outputs[1]));  // the clip does not commute with the chorus
}

// The strip run in stages (dc1 alone, then from the dynamics; or dc1, processFront and dc2,
// then from the chorus) gives the whole strip's bits, buffer, buses and states, frame after frame.
TEST(Channel, StagedStripMatchesTheWholeStrip) {
    for (const float order : {0.0f, 1.0f}) {
        Params p = neutral(90.0f);
        p[5] = 40.0f;
        p[7] = order;
        p[8] = 100.0f;
        p[9] = 1.0f;   // overdrive
        p[10] = 90.0f;
        p[11] = 70.0f;
        p[20] = 1.0f;  // dynamics on
        p[24] = 30.0f;
        Rig whole;
        Rig staged;
        const SendBuses buses{staged.reverb.data(), staged.delay.data(), staged.aux1.data(), staged.aux2.data(),
                              staged.master.data()};
        for (int frame = 0; frame < 4; ++frame) {
            Block expected = signal(frame * 0.7f);
            Block actual = expected;
            whole.run(expected, p);
            Channel& channel = *staged.channel;
            channel.setupEffects(p.data());
            channel.dc1.renderStereo(actual.data(), actual.data(), kFrames);
            if (order == 0.0f && frame % 2 == 1) {
                channel.processFront(actual.data(), kFrames, staged.level.data());
                channel.dc2.renderStereo(actual.data(), actual.data(), kFrames);
                channel.processStrip(actual.data(), kFrames, buses, staged.level.data(), StripStart::Chorus);
            } else {
                channel.processStrip(actual.data(), kFrames, buses, staged.level.data(), StripStart::Dynamics);
            }
            ASSERT_TRUE(same(expected, actual)) << order << " " << frame;
            ASSERT_TRUE(same(whole.master, staged.master)) << order << " " << frame;
            ASSERT_EQ(std::memcmp(whole.reverb.data(), staged.reverb.data(), sizeof whole.reverb), 0);
            ASSERT_EQ(std::memcmp(whole.lines.data(), staged.lines.data(), sizeof whole.lines), 0);
        }
    }
}

// A channel set up every control frame keeps its exponentials from the frame before: after any
// run of set-ups, its dynamics, chorus and shelf coefficients are a fresh channel's. Each step
// changes a few parameters, sometimes one of them back to an earlier value.
TEST(Channel, KeptExponentialsGiveTheCoefficientsOfAFreshSetup) {
    std::mt19937 random{7};
    Params p = neutral();
    Rig kept;
    for (int step = 0; step < 400; ++step) {
        for (int change = random() % 3; change >= 0; --change) {
            const int at = static_cast<int>(random() % p.size());
            p[at] = (random() % 4 == 0) ? std::uniform_real_distribution<float>(0.0f, 128.0f)(random)
                                        : static_cast<float>(random() % 129);
        }
        kept.channel->setupEffects(p.data());
        Rig fresh;
        fresh.channel->setupEffects(p.data());
        const Channel& a = *kept.channel;
        const Channel& b = *fresh.channel;
        const float keptValues[] = {a.dyn.invThreshold, a.dyn.outGain, a.dyn.attack, a.dyn.release,
                                    a.shelf.b0, a.shelf.b1, a.shelf.b2, a.shelf.a1, a.shelf.a2};
        const float freshValues[] = {b.dyn.invThreshold, b.dyn.outGain, b.dyn.attack, b.dyn.release,
                                     b.shelf.b0, b.shelf.b1, b.shelf.b2, b.shelf.a1, b.shelf.a2};
        ASSERT_EQ(std::memcmp(keptValues, freshValues, sizeof keptValues), 0) << step;
        ASSERT_EQ(a.chorus.inc, b.chorus.inc) << step;
    }
}

}  // namespace
}  // namespace zimblo::fx
