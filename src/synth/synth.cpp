#include "synth/synth.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "dsp/numerics.h"
#include "dsp/simd_path.h"

namespace zimblo::synth {

// The record is cleared with one bulk fill; that is only sound for a type
// whose every member is plain bytes.
static_assert(std::is_trivially_copyable_v<Synth>, "Synth must stay a plain record");

namespace {

Synth* gCurrentSynth = nullptr;
// L as the engine uses it: the rate constants' value, limited to the 280
// frames every buffer holds.
int32_t gFrameLength = 128;

constexpr float kInverse128 = 0.0078125f;  // the 0..128 parameter scale

}  // namespace

Synth* currentSynth() { return gCurrentSynth; }

void makeCurrent(Synth* synth) { gCurrentSynth = synth; }

int32_t engineFrameLength() { return gFrameLength; }

void Synth::init(PatchBank patchBank, uint32_t rate) {
    makeCurrent(this);
    // Rate set-up and unit resets convert floats to integers; pin the rounding
    // mode so they round to nearest whatever the caller's mode is.
    FpEnvironmentGuard fpGuard;
    // The render path is chosen here, once (the environment and the processor are read at the
    // first call), so that no render reads them.
    (void)dsp::simdPath();

    // The cast to void* says on purpose: every member is trivially copyable and
    // all-zero bytes are its zero value.
    const uint32_t keptMutes = mutedChannels;
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
    mutedChannels = keptMutes;

    sampleRate = rate;
    dsp::setSampleRate(rate);
    // Rates above about 96468 Hz would give L > 280 and overrun every buffer;
    // the engine then computes control frames of 280 frames instead.
    gFrameLength = std::clamp(dsp::rates().frameLength, int32_t{1}, int32_t{kMaxFrames});
    speech::Singer::setSampleRate(rate);

    bank = patchBank;

    for (int v = 0; v < kVoiceCount; ++v) {
        voiceChannel[v] = kFreeVoice;
        voices[v].reset();
    }

    for (int c = 0; c < kChannelCount; ++c) {
        channelControls[c].lane(7) = 127;
        float* lines = channelDelayStorage[c].data();
        channels[c].chorus.setLines(lines, lines + kChorusLineLength, kChorusLineLength - 1);
        channels[c].resetEffects();
    }

    reverb.clear();

    globalDelay.setLines(globalDelayStorage.data(), globalDelayStorage.data() + kGlobalDelayLineLength,
                         kGlobalDelayLineLength - 1);
    globalDelay.reset();

    singer.initialise();

    masterDynamics.reset();
    masterDcBlocker.reset();
}

void Synth::setGlobalParams(const uint8_t* block) {
    makeCurrent(this);
    FpEnvironmentGuard fpGuard;

    for (int i = 0; i < kGlobalParamCount; ++i) globalParams[i] = static_cast<float>(block[i]);

    reverb.setParams(&globalParams[0]);
    globalDelay.setParams(&globalParams[4]);
    masterDynamics.setParams(&globalParams[13]);

    // Scaled to 1/128 .. 1 and squared: fine control near 0, where a one-pole
    // low cut's corner lies for useful settings.
    const float lowCut = (globalParams[11] + 1.0f) * kInverse128;
    const float highCut = (globalParams[12] + 1.0f) * kInverse128;
    toneFilter.lowCutCoefficient = lowCut * lowCut;
    toneFilter.highCutCoefficient = highCut * highCut;
}

speech::Singer& Synth::singerState() { return singer; }

void Synth::setMeterMode(uint32_t mode) { meterMode = mode; }

void Synth::setMutedChannels(uint32_t mask) { mutedChannels = mask & ((1u << kChannelCount) - 1); }

void Synth::channelLevel(int channel, float& left, float& right) const {
    // A channel outside 0..15 has no meter; it reads as silence.
    if (channel < 0 || channel >= kChannelCount) {
        left = 0.0f;
        right = 0.0f;
        return;
    }
    left = channelMeters[channel].left;
    right = channelMeters[channel].right;
}

void Synth::masterLevel(float& left, float& right) const {
    left = masterMeter.left;
    right = masterMeter.right;
}

void Synth::voiceCounts(uint32_t counts[17]) const {
    std::fill(counts, counts + kChannelCount + 1, 0u);
    for (int v = 0; v < kVoiceCount; ++v) {
        if (voiceChannel[v] < 0) continue;
        counts[voiceChannel[v]] += 1;
        counts[kChannelCount] += 1;
    }
}

void Synth::channelPrograms(uint32_t programs[16]) const {
    for (int c = 0; c < kChannelCount; ++c) programs[c] = channelControls[c].program;
}

int32_t Synth::frameLength() const { return gFrameLength; }

size_t Synth::stateSize() { return sizeof(Synth); }

}  // namespace zimblo::synth
