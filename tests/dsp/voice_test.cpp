#include "dsp/voice.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

namespace zimblo::dsp {
namespace {

constexpr int kFrames = 128;
constexpr float kEps = kDenormalGuard;
using Params = std::array<float, 59>;
using Frames = std::array<StereoFrame, kFrames>;
using Lefts = std::array<float, kFrames>;

// Everything off: centred pan and transposes, shaper drive 1 and bias 0, envelopes that jump
// to 128 and hold there (sustain level 128, rate 64, gain 128).
Params offPatch() {
    Params p{};
    p[0] = p[1] = p[27] = p[31] = 64;
    p[29] = 32;
    for (int osc : {2, 8, 14}) p[osc + 2] = p[osc + 3] = 64;
    for (int env : {32, 38}) p[env + 2] = p[env + 5] = 128, p[env + 3] = 64;
    return p;
}

// Hard left (gain exactly 1), a sine and a pulse.
Params tonePatch() {
    Params p = offPatch();
    p[0] = 0;
    p[2] = 3, p[7] = 100;
    p[8] = 2, p[11] = 70, p[12] = 40, p[13] = 60;
    return p;
}

struct Scratch {
    std::array<float, kMaxFrameLength> work{}, second{};
    VoiceScratch view() { return {work.data(), second.data(), {}}; }
};

Voice startedVoice(const Params& p, int32_t note = 60) {
    Voice voice;
    voice.reset();
    voice.setup(p.data());
    voice.start(note, 100);
    return voice;
}

Frames render(Voice& voice, const VoiceScratch& view, Frames out = {}) {
    voice.render(kFrames, out.data(), view);
    return out;
}

// One control frame's left side with the voice's gain held at 1.
Lefts renderAtUnitGain(Voice& voice) {
    Scratch scratch;
    voice.amplitude = 1.0f;
    voice.amplitudeStep = 0.0f;
    const Frames out = render(voice, scratch.view());
    Lefts left;
    for (int i = 0; i < kFrames; ++i) left[i] = out[i].left;
    return left;
}

TEST(Voice, SilentVoiceAddsExactlyTheGuardAndAuxInputsReachTheOscillators) {
    Voice voice = startedVoice(offPatch());
    Scratch scratch;
    Frames before{};
    for (int i = 0; i < kFrames; ++i) before[i] = {0.25f * i, -1.0f};
    for (int frame = 0; frame < 3; ++frame) {
        voice.update();
        const Frames mix = render(voice, scratch.view(), before);
        for (int i = 0; i < kFrames; ++i) {
            EXPECT_EQ(mix[i].left, before[i].left + kEps) << i;
            EXPECT_EQ(mix[i].right, before[i].right + kEps) << i;
        }
    }
    Params p = offPatch();
    p[0] = 0, p[2] = 6, p[7] = 128;  // aux bus 1
    Voice aux = startedVoice(p);
    Frames bus;
    bus.fill({0.25f, 0.25f});
    VoiceScratch view = scratch.view();
    view.aux.bus1 = bus.data();
    aux.amplitude = 1.0f;
    // 0.6·(0.25 + 0.25) passes the DC blocker's first sample unchanged.
    EXPECT_EQ(render(aux, view)[0].left, 0.3f + kEps);
}

TEST(Voice, UpdateTicksOnceAndTheAmplitudeRampsLinearlyOverTheFrame) {
    Voice voice = startedVoice(tonePatch()), reference = voice;
    // Attack 0: envelope 1 jumps to 128 at the first tick, so the step is 1/128 per sample.
    voice.update();
    EXPECT_EQ(voice.amplitudeStep, 1.0f / 128.0f);
    Scratch scratch;
    const Frames ramped = render(voice, scratch.view());
    EXPECT_EQ(voice.amplitude, 1.0f);
    reference.update();
    const Lefts flat = renderAtUnitGain(reference);
    EXPECT_EQ(ramped[0].left, kEps);  // the first sample uses amplitude 0
    for (int i = 0; i < kFrames; ++i) {
        EXPECT_NEAR(ramped[i].left, (flat[i] - kEps) * (static_cast<float>(i) / 128.0f) + kEps, 1e-6f) << i;
        EXPECT_EQ(ramped[i].right, kEps) << i;
    }
    voice.update();
    EXPECT_EQ(voice.amplitudeStep, 0.0f);
    // Attack 64 adds 2 per frame: one update ticks each envelope and LFO once, then aims the
    // step at the new output.
    Params p = tonePatch();
    p[32] = p[38] = p[47] = 64;
    Voice slow = startedVoice(p);
    slow.update();
    EXPECT_EQ(slow.envelopes[1].level, 2.0f);
    EXPECT_EQ(slow.lfos[0].phase, slow.lfos[0].increment);
    EXPECT_EQ(slow.amplitudeStep, (2.0f / 128.0f) / 128.0f);
}

TEST(Voice, PanAndBalanceGains) {
    Voice voice;
    Params p = offPatch();
    const auto gains = [&](float pan, float balance) {
        p[0] = pan, p[27] = balance;
        voice.setup(p.data());
        return std::array<float, 4>{voice.leftGain, voice.rightGain, voice.filter1MixGain,
                                    voice.filter2MixGain};
    };
    EXPECT_EQ(gains(64, 64), (std::array<float, 4>{0.70710677f, 0.70710677f, 1, 1}));
    EXPECT_EQ(gains(0, 0), (std::array<float, 4>{1, 0, 1, 0}));
    EXPECT_EQ(gains(127, 127)[2], 1.0f / 64.0f);
    // −0.5 rounds to 0 (ties to even): the filter 1 side of the rule, a gain just above 1.
    EXPECT_EQ(gains(128, 63.5f), (std::array<float, 4>{0, 1, 1.0078125f, 1}));
    // An unmodulated pan byte above 128 stays hard right instead of giving NaN.
    EXPECT_EQ(gains(200, 64), (std::array<float, 4>{0, 1, 1, 1}));
    for (float pan = 0; pan <= 128; pan += 1) {  // equal power, left falling with the pan
        const auto g = gains(pan, 64);
        EXPECT_NEAR(g[0] * g[0] + g[1] * g[1], 1.0f, 3e-7f) << pan;
        EXPECT_NEAR(g[1] * g[1], pan / 128.0f, 3e-7f) << pan;
    }
}

TEST(Voice, RoutingSelectsSingleSerialOrParallel) {
    const auto renderWith = [](float routing, float type1, float type2, float balance) {
        Params p = tonePatch();
        p[20] = type1, p[21] = 50, p[22] = 30;
        p[23] = type2, p[24] = 90, p[25] = 20;
        p[26] = routing, p[27] = balance;
        Voice voice = startedVoice(p);
        renderAtUnitGain(voice);  // past the DC blocker's first samples
        return renderAtUnitGain(voice);
    };
    // The low byte decides: 0 single, 2 parallel, anything else serial.
    const Lefts serial = renderWith(1, 1, 3, 64), single = renderWith(0, 1, 3, 64);
    EXPECT_EQ(renderWith(3, 1, 3, 64), serial);
    EXPECT_EQ(renderWith(257, 1, 3, 64), serial);
    EXPECT_NE(single, serial);
    EXPECT_EQ(renderWith(256, 1, 3, 64), single);
    EXPECT_EQ(renderWith(0, 1, 0, 64), single);
    EXPECT_EQ(renderWith(514, 1, 3, 64), renderWith(2, 1, 3, 64));
    // Parallel with filter 2 off: the dry signal and filter 1's output, mixed by the balance.
    const Lefts dry = renderWith(0, 0, 0, 64);
    for (float balance : {64.0f, 96.0f, 0.0f, 16.0f}) {
        const float b = balance - 64.0f;
        const float mix1 = b >= 0 ? 1.0f - b / 64.0f : 1.0f, mix2 = b >= 0 ? 1.0f : 1.0f + b / 64.0f;
        const Lefts parallel = renderWith(2, 1, 0, balance);
        for (int i = 0; i < kFrames; ++i) {
            const float expected = (dry[i] - kEps) * mix2 + (single[i] - kEps) * mix1 + kEps;
            EXPECT_NEAR(parallel[i], expected, 2e-6f) << balance << " " << i;
        }
    }
}

TEST(Voice, NoteStartModesAndReset) {
    Params p = tonePatch();
    p[20] = 1, p[21] = 60;               // a filter with state
    p[28] = 4;                           // decimator: a hold clock with state
    p[32] = p[36] = p[38] = p[42] = 64;  // slow attack and release: levels stay mid-way
    Scratch scratch;
    for (float mode : {0.0f, 1.0f, 2.0f, 258.0f}) {
        p[58] = mode;
        Voice voice = startedVoice(p, 60);
        for (int f = 0; f < 10; ++f) voice.update(), render(voice, scratch.view());
        voice.release();
        voice.update();
        EXPECT_EQ(voice.envelopes[0].stage, EnvelopeStage::Release);
        const Voice before = voice;
        voice.setup(p.data());
        voice.start(67, 90);
        EXPECT_TRUE(voice.velocity == 90.0f && voice.oscillators[1].note == 67.0f);
        EXPECT_TRUE(voice.envelopes[1].stage == EnvelopeStage::Attack && voice.dcBlocker.y1L == 0.0f);
        EXPECT_EQ(voice.lfos[0].phase, before.lfos[0].phase);  // never reset by a start
        const bool full = mode >= 2.0f;
        EXPECT_EQ(voice.oscillators[0].phase == 0u, mode != 0.0f) << mode;
        EXPECT_EQ(voice.envelopes[0].level, full ? 0.0f : before.envelopes[0].level) << mode;
        EXPECT_EQ(voice.amplitude, full ? 0.0f : before.amplitude) << mode;
        EXPECT_EQ(voice.filters[0].low, full ? 0.0f : before.filters[0].low) << mode;
        EXPECT_EQ(voice.shaper.holdCounter, full ? 0u : before.shaper.holdCounter) << mode;
        if (!full) continue;
        // A full restart sounds exactly like a fresh voice playing the same note.
        Voice fresh = startedVoice(p, 67);
        for (int f = 0; f < 4; ++f) {
            voice.update(), fresh.update();
            const Frames a = render(voice, scratch.view()), b = render(fresh, scratch.view());
            for (int i = 0; i < kFrames; ++i) ASSERT_EQ(a[i].left, b[i].left) << mode << " " << i;
        }
    }
}

}  // namespace
}  // namespace zimblo::dsp
