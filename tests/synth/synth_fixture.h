// Test helpers for the engine: patch banks built from readable descriptions,
// and a fixture owning a heap Synth (the record is megabytes, too big for a stack).
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
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
// with attack 0 (full level in the first frame), decay 64 to sustain 100 held
// (rate 64), release 0 (silent at the first frame after note off), gain 1;
// every effect off, channel volume 128 (0.6).
inline TestPatch sinePatch() {
    TestPatch p;
    p.voice[0] = 64;   // pan centre
    p.voice[1] = 64;   // no voice transpose
    p.voice[2] = 3;    // oscillator 1: sine
    p.voice[4] = 64;   // no oscillator transpose
    p.voice[5] = 64;   // no detune
    p.voice[6] = 64;
    p.voice[7] = 64;   // gain 1/2
    p.voice[10] = 64;
    p.voice[11] = 64;
    p.voice[16] = 64;
    p.voice[17] = 64;
    p.voice[27] = 64;  // parallel balance: both filters full
    p.voice[32] = 0;   // attack
    p.voice[33] = 64;  // decay
    p.voice[34] = 100; // sustain level
    p.voice[35] = 64;  // sustain rate: hold
    p.voice[36] = 0;   // release: immediate
    p.voice[37] = 128; // envelope gain 1
    p.voice[41] = 64;
    p.channel[0] = 128;  // volume 0.6
    p.channel[13] = 64;  // chorus off
    p.channel[14] = 64;
    p.channel[19] = 64;
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
        for (const ModRoute& r : p.routes) {
            bytes.push_back(r.source);
            bytes.push_back(r.amount);
            bytes.push_back(r.destination);
        }
    }
    return bytes;
}

// Global block with the reverb silent (damping 0), the global delay off, no
// master low cut to speak of (A = 1/16384), high cut bypassed (B = 1) and the
// master dynamics bypassed.
inline std::array<uint8_t, kGlobalParamCount> quietGlobals() {
    std::array<uint8_t, kGlobalParamCount> g{};
    g[0] = 63;   // reverb decay x = 1
    g[1] = 0;    // reverb damping 0: silent
    g[4] = 64;   // delay off
    g[5] = 64;
    g[12] = 127; // high cut bypassed
    g[13] = 0;   // master dynamics bypass
    return g;
}

// The quiet block with the reverb undamped at input gain 1: it rings.
inline std::array<uint8_t, kGlobalParamCount> ringingGlobals() {
    std::array<uint8_t, kGlobalParamCount> g = quietGlobals();
    g[1] = 128;
    g[3] = 128;
    return g;
}

class SynthTest : public ::testing::Test {
protected:
    void SetUp() override { dsp::pinFreeRunningCounter(0x12345678u); }
    void TearDown() override { dsp::unpinFreeRunningCounter(); }

    // Initialises a fresh heap Synth on a bank of the given patches.
    Synth& open(const std::vector<TestPatch>& patches,
                const std::array<uint8_t, kGlobalParamCount>& globals = quietGlobals(),
                uint32_t rate = 44100) {
        bankBytes.push_back(std::make_unique<std::vector<uint8_t>>(buildBank(patches)));
        auto synth = std::make_unique<Synth>();
        const std::vector<uint8_t>& bytes = *bankBytes.back();
        synth->init(PatchBank{bytes.data(), static_cast<uint32_t>(bytes.size())}, rate);
        synth->setGlobalParams(globals.data());
        synths.push_back(std::move(synth));
        return *synths.back();
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

    static std::vector<uint8_t> snapshot(const Synth& synth) {
        std::vector<uint8_t> bytes(sizeof(Synth));
        std::memcpy(bytes.data(), static_cast<const void*>(&synth), sizeof(Synth));
        return bytes;
    }

    static bool sameBytes(const std::vector<uint8_t>& before, const Synth& synth) {
        return std::memcmp(before.data(), static_cast<const void*>(&synth), sizeof(Synth)) == 0;
    }

    std::vector<std::unique_ptr<std::vector<uint8_t>>> bankBytes;
    std::vector<std::unique_ptr<Synth>> synths;
};

}  // namespace zimblo::synth::test
