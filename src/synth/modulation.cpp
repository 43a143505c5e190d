// Patch application with modulation.
//
// Each computation starts again from the patch bytes (0..255 as floats) and
// adds, route by route in list order,
//   value = source · (amount − 64) · (1/128) · 2,    amount 0..127 → factor −1 .. 0.984375
// clamping the destination to 0..128 after every route, so several routes to
// one destination add up with a clamp between them.
#include <cstdint>

#include "synth/synth.h"

namespace zimblo::synth {

namespace {

constexpr float kInverse128 = 0.0078125f;
constexpr float kCentreAmount = 64.0f;
constexpr int32_t kKeyboardCentreNote = 48;  // the keyboard source is 0 here, 2 per semitone
constexpr float kParamCeiling = 128.0f;

float routeFactor(uint8_t amount) {
    return (static_cast<float>(amount) - kCentreAmount) * kInverse128 * 2.0f;
}

// The clamp of a modulated parameter: any negative result, −0.0 included, is
// +0.0; above 128 is 128. (NaN cannot arise from the sources; it would give 0.)
float clampModulated(float value) {
    if (!(value > 0.0f)) return 0.0f;
    return value > kParamCeiling ? kParamCeiling : value;
}

// Sources come from one voice (velocity, note, envelopes, LFOs) and one
// channel's lanes.
float sourceValue(uint8_t source, const dsp::Voice& voice, const ChannelControls& controls) {
    switch (source) {
        case static_cast<uint8_t>(ModSource::Velocity):
            return voice.velocity;
        case static_cast<uint8_t>(ModSource::Envelope1):
            return voice.envelopes[0].output;
        case static_cast<uint8_t>(ModSource::Envelope2):
            return voice.envelopes[1].output;
        case static_cast<uint8_t>(ModSource::Lfo1):
            return voice.lfos[0].output;
        case static_cast<uint8_t>(ModSource::Lfo2):
            return voice.lfos[1].output;
        default:
            break;
    }
    if (source >= static_cast<uint8_t>(ModSource::FirstLane) && source <= static_cast<uint8_t>(ModSource::LastLane)) {
        return static_cast<float>(controls.lane(source));
    }
    // Keyboard; the note is a data byte (0..255), so the integer cannot overflow.
    return static_cast<float>((voice.note - kKeyboardCentreNote) * 2);
}

}  // namespace

void Synth::applyVoicePatch(int voice) {
    const int32_t channel = voiceChannel[voice];
    if (channel < 0) return;
    const Patch patch = findPatch(bank, channelControls[channel].program);
    const dsp::Voice& sourceVoice = voices[voice];
    const ChannelControls& controls = channelControls[channel];

    VoiceParams& params = voiceParams[voice];
    for (int i = 0; i < kVoiceParamCount; ++i) params[i] = patch.voiceParam(i);

    const uint32_t routes = patch.routeCount();
    for (uint32_t r = 0; r < routes; ++r) {
        const ModRoute route = patch.route(r);
        if (route.destination >= kFirstChannelDestination) continue;
        const float value = sourceValue(route.source, sourceVoice, controls) * routeFactor(route.amount);
        params[route.destination] = clampModulated(params[route.destination] + value);
    }

    voices[voice].setup(params.data());
}

void Synth::updateChannel(int channel) {
    const Patch patch = findPatch(bank, channelControls[channel].program);
    // The voice most recently started here, even if it has since been freed or
    // taken by another channel: its values are read as they stand.
    const dsp::Voice& sourceVoice = voices[channelLastVoice[channel]];
    const ChannelControls& controls = channelControls[channel];

    ChannelParams& params = channelParams[channel];
    for (int i = 0; i < kChannelParamCount; ++i) params[i] = patch.channelParam(i);

    const uint32_t routes = patch.routeCount();
    for (uint32_t r = 0; r < routes; ++r) {
        const ModRoute route = patch.route(r);
        if (route.destination < kFirstChannelDestination || route.destination >= kFirstUnusedDestination) continue;
        const int index = route.destination - kFirstChannelDestination;
        const float value = sourceValue(route.source, sourceVoice, controls) * routeFactor(route.amount);
        params[index] = clampModulated(params[index] + value);
    }

    channels[channel].setupEffects(params.data());
}

}  // namespace zimblo::synth
