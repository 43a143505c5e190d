// The event-stream interpreter: MIDI-like channel commands with running status,
// ended by 0xFD; and the voice allocation with its stealing rules.
#include <cstdint>

#include "dsp/numerics.h"
#include "synth/synth.h"

namespace zimblo::synth {

namespace {

constexpr uint8_t kStatusBit = 0x80;
constexpr uint8_t kEndOfStream = 0xFD;
constexpr uint8_t kReset = 0xFF;
constexpr uint8_t kProgramMask = 0x7F;

// Command kinds: bits 4..6 of the status byte.
enum class CommandKind : uint32_t {
    NoteOff = 0,
    NoteOn = 1,
    KeyPressure = 2,
    Controller = 3,
    ProgramChange = 4,
    ChannelPressure = 5,
    PitchBend = 6,
    System = 7,
};

constexpr uint32_t kAllSoundOff = 120;
constexpr uint32_t kFirstAllNotesOff = 123;  // 123 and above all release the channel

}  // namespace

void Synth::processEvents(const uint8_t* stream) {
    makeCurrent(this);
    FpEnvironmentGuard fpGuard;

    const uint8_t* cursor = stream;
    for (;;) {
        const uint8_t byte = *cursor;
        if (byte & kStatusBit) {
            if (byte == kEndOfStream) return;
            runningStatus = byte;
            ++cursor;
        }
        if (runningStatus < kStatusBit) return;  // a data byte with no status to give it meaning

        const int channel = static_cast<int>(runningStatus & 0x0F);
        switch (static_cast<CommandKind>((runningStatus >> 4) & 0x07)) {
            case CommandKind::NoteOff:
                noteOff(channel, cursor[0]);
                cursor += 2;
                break;
            case CommandKind::NoteOn:
                noteOn(channel, cursor[0], cursor[1]);
                cursor += 2;
                break;
            case CommandKind::Controller:
                controlChange(channel, cursor[0], cursor[1]);
                cursor += 2;
                break;
            case CommandKind::ProgramChange:
                programChange(channel, cursor[0]);
                cursor += 1;
                break;
            case CommandKind::KeyPressure:
            case CommandKind::PitchBend:
                cursor += 2;
                break;
            case CommandKind::ChannelPressure:
                cursor += 1;
                break;
            case CommandKind::System:
                if (runningStatus == kReset) {
                    init(bank, sampleRate);  // clears the running status too
                } else if (!(*cursor & kStatusBit)) {
                    // A system status takes no data byte, so a data byte after it
                    // would be dispatched to it again for ever: end the stream.
                    return;
                }
                break;
        }
    }
}

void Synth::noteOff(int channel, int32_t note) {
    if (channel == kSingerChannel) singer.resumeAfterNoteOff();
    // The lowest-numbered held voice of the note, not necessarily the oldest.
    for (int v = 0; v < kVoiceCount; ++v) {
        if (voiceChannel[v] == channel && voices[v].note == note && voices[v].gate != 0) {
            voices[v].release();
            return;
        }
    }
}

void Synth::noteOn(int channel, int32_t note, int32_t velocity) {
    if (velocity == 0) {
        noteOff(channel, note);
        return;
    }
    if (channel == kSingerChannel) singer.resumeAfterNoteOn();

    const Patch patch = findPatch(bank, channelControls[channel].program);
    const int v = chooseVoice(channel, patch.voiceLimit());
    // Only a voice limit of 0 on a channel without voices leaves no candidate;
    // such a note is ignored and touches nothing.
    if (v < 0) return;

    voiceChannel[v] = channel;
    channelLastVoice[channel] = v;
    voiceStartStamp[v] = noteOnCounter;
    noteOnCounter += 1;

    // The patch is applied before the note and velocity change, so routes from
    // those sources see the previous note's values until the next control frame.
    applyVoicePatch(v);
    voices[v].start(note, velocity);
}

int Synth::chooseVoice(int channel, uint32_t voiceLimit) const {
    // Every search for the oldest voice takes the lowest index among equal stamps.
    auto oldest = [this](auto&& eligible) {
        int best = -1;
        for (int v = 0; v < kVoiceCount; ++v) {
            if (eligible(v) && (best < 0 || voiceStartStamp[v] < voiceStartStamp[best])) best = v;
        }
        return best;
    };

    uint32_t count = 0;
    for (int v = 0; v < kVoiceCount; ++v) count += voiceChannel[v] == channel ? 1u : 0u;

    if (count < voiceLimit) {
        for (int v = 0; v < kVoiceCount; ++v) {
            if (voiceChannel[v] == kFreeVoice) return v;
        }
        const int released = oldest([this](int v) { return voices[v].gate == 0; });
        if (released >= 0) return released;
        return oldest([](int) { return true; });
    }

    const int released =
        oldest([this, channel](int v) { return voiceChannel[v] == channel && voices[v].gate == 0; });
    if (released >= 0) return released;
    return oldest([this, channel](int v) { return voiceChannel[v] == channel; });
}

void Synth::controlChange(int channel, uint32_t number, uint32_t value) {
    if (number >= 1 && number <= 7) {
        channelControls[channel].lane(number) = static_cast<uint8_t>(value);
        if (channel == kSingerChannel) singer.controller(number, value);
    } else if (number == kAllSoundOff) {
        // Units are reset; note, velocity, gate and amplitude stay as they were.
        for (int v = 0; v < kVoiceCount; ++v) {
            if (voiceChannel[v] != channel) continue;
            voices[v].reset();
            voiceChannel[v] = kFreeVoice;
        }
    } else if (number >= kFirstAllNotesOff) {
        if (channel == kSingerChannel) singer.resumeAfterNoteOff();
        for (int v = 0; v < kVoiceCount; ++v) {
            if (voiceChannel[v] == channel) voices[v].release();
        }
    }
}

void Synth::programChange(int channel, uint8_t program) {
    ChannelControls& controls = channelControls[channel];
    const uint8_t newProgram = program & kProgramMask;
    if (newProgram != controls.program) {
        controls.program = newProgram;
        // Freed at once, neither released nor reset: they fall silent after the
        // frames already computed.
        for (int v = 0; v < kVoiceCount; ++v) {
            if (voiceChannel[v] == channel) voiceChannel[v] = kFreeVoice;
        }
    }
    // Lane 7, the channel volume in the song's patches, survives program changes.
    for (uint32_t lane = 1; lane <= 6; ++lane) controls.lane(lane) = 0;
}

}  // namespace zimblo::synth
