// Test helpers for the engine: patch banks built from readable descriptions,
// and a fixture owning heap Synths (the record is megabytes, too big for a stack).
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "dsp/free_running_counter.h"
#include "synth/synth.h"

namespace zimblo::synth::test {

struct TestPatch {
    std::array<uint8_t, kVoiceParamCount> voice{};
    std::array<uint8_t, kChannelParamCount> channel{};
    uint8_t voiceLimit = 8;
    std::vector<ModRoute> routes;
};

// A patch that sounds: oscillator 1 a sine at gain 1/2, pan centre, envelope 1
// with attack 0, sustain 100 held, release 0 (silent at the first frame after
// note off), gain 1; every effect off, channel volume 128 (0.6).
inline TestPatch sinePatch(uint8_t voiceLimit = 8) {
    TestPatch p;
    p.voiceLimit = voiceLimit;
    for (int i : {0, 1, 4, 5, 6, 7, 10, 11, 16, 17, 27, 33, 35, 41}) p.voice[i] = 64;
    p.voice[2] = 3;     // sine
    p.voice[34] = 100;  // sustain level
    p.voice[37] = 128;  // envelope gain 1
    p.channel[0] = 128;
    for (int i : {13, 14, 19}) p.channel[i] = 64;  // chorus off
    return p;
}

// Bank bytes: offset table, then the patches in order.
inline std::vector<uint8_t> buildBank(const std::vector<TestPatch>& patches) {
    std::vector<uint8_t> bytes(4 * patches.size());
    for (size_t i = 0; i < patches.size(); ++i) {
        const uint32_t offset = static_cast<uint32_t>(bytes.size());
        for (int b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<uint8_t>(offset >> (8 * b));
        const TestPatch& p = patches[i];
        bytes.insert(bytes.end(), p.voice.begin(), p.voice.end());
        bytes.insert(bytes.end(), p.channel.begin(), p.channel.end());
        bytes.push_back(p.voiceLimit);
        bytes.push_back(static_cast<uint8_t>(p.routes.size()));
        for (const ModRoute& r : p.routes) bytes.insert(bytes.end(), {r.source, r.amount, r.destination});
    }
    return bytes;
}

inline bool same(StereoFrame a, StereoFrame b) { return a.left == b.left && a.right == b.right; }

using Globals = std::array<uint8_t, kGlobalParamCount>;

// Reverb silent (damping 0), delay off, master low cut A = 1/16384, high cut
// bypassed (B = 1), master dynamics bypassed. ring: the reverb undamped at
// input gain 1.
inline Globals globals(bool ring = false) {
    Globals g{};
    g[0] = 63;
    g[4] = g[5] = 64;
    g[12] = 127;
    if (ring) g[1] = g[3] = 128;
    return g;
}

class SynthTest : public ::testing::Test {
protected:
    void SetUp() override { dsp::pinFreeRunningCounter(0x12345678u); }
    void TearDown() override { dsp::unpinFreeRunningCounter(); }

    PatchBank bank(const std::vector<TestPatch>& patches) {
        const auto& bytes = *banks.emplace_back(std::make_unique<std::vector<uint8_t>>(buildBank(patches)));
        return PatchBank{bytes.data(), static_cast<uint32_t>(bytes.size())};
    }

    // A fresh heap Synth, initialised, then given the global block unless withGlobals is false.
    Synth& open(const std::vector<TestPatch>& patches, const Globals& g = globals(), uint32_t rate = 44100,
                bool withGlobals = true) {
        Synth& synth = *synths.emplace_back(std::make_unique<Synth>());
        synth.init(bank(patches), rate);
        if (withGlobals) synth.setGlobalParams(g.data());
        return synth;
    }

    static void send(Synth& synth, std::initializer_list<uint8_t> bytes) {
        std::vector<uint8_t> stream(bytes);
        synth.processEvents(stream.data());
    }

    static std::vector<StereoFrame> render(Synth& synth, uint32_t frames) {
        std::vector<StereoFrame> out(frames);
        synth.render(&out[0].left, frames, nullptr, 0);
        return out;
    }

    // The object representation, for "changes nothing" checks.
    template <typename T>
    static std::vector<uint8_t> snapshot(const T& object) {
        const auto* p = reinterpret_cast<const uint8_t*>(&object);
        return std::vector<uint8_t>(p, p + sizeof(T));
    }

    // Every assigned voice as "index:channel/note", with "~" once released.
    static std::string voiceTable(const Synth& synth) {
        std::string table;
        for (int v = 0; v < kVoiceCount; ++v) {
            if (synth.voiceChannel[v] == kFreeVoice) continue;
            table += (table.empty() ? "" : " ") + std::to_string(v) + ":" + std::to_string(synth.voiceChannel[v]) +
                     "/" + std::to_string(synth.voices[v].note) + (synth.voices[v].gate ? "" : "~");
        }
        return table;
    }

    static int voicesOn(const Synth& synth, int channel) {
        int count = 0;
        for (int32_t c : synth.voiceChannel) count += c == channel ? 1 : 0;
        return count;
    }

    static StereoFrame level(const Synth& synth, int channel) {
        StereoFrame f{1.0f, 1.0f};
        synth.channelLevel(channel, f.left, f.right);
        return f;
    }

    std::vector<std::unique_ptr<std::vector<uint8_t>>> banks;
    std::vector<std::unique_ptr<Synth>> synths;
};

}  // namespace zimblo::synth::test
