// Synth: the whole synthesiser engine in one fixed-size record.
//
// 64 voices on 16 channels, each channel with its effect strip; a global
// reverb and delay, and a master chain (DC blocker, tone filter, dynamics).
// Audio is computed in control frames of L frames (128 at 44100 Hz, at most
// 280): modulation, envelopes, LFOs and effect set-up run once per control
// frame, the signal per sample. Every buffer is an array member, so nothing is
// allocated once the record exists; the record is large (a few megabytes) and
// belongs in static or heap storage, never on a stack.
//
// The Player drives it with init and setGlobalParams when a song opens, then
// processEvents (channel commands) and render (audio) interleaved.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "dsp/dc_blocker.h"
#include "dsp/rate_constants.h"
#include "dsp/stereo_frame.h"
#include "dsp/voice.h"
#include "dsp/voice_lanes.h"
#include "fx/channel.h"
#include "fx/dynamics.h"
#include "fx/mod_delay.h"
#include "fx/reverb.h"
#include "speech/singer.h"
#include "synth/meter.h"
#include "synth/patch.h"

namespace zimblo::synth {

constexpr int kVoiceCount = 64;
constexpr int kChannelCount = 16;
constexpr int kSingerChannel = 15;  // the channel whose voices the singer shapes
constexpr int kMaxFrames = dsp::kMaxFrameLength;
constexpr int kGlobalParamCount = 22;
constexpr int kChorusLineLength = 2048;
constexpr int kGlobalDelayLineLength = 32768;
constexpr int32_t kFreeVoice = -1;  // voice channel map entry of an unassigned voice

using VoiceParams = std::array<float, kVoiceParamCount>;
using ChannelParams = std::array<float, kChannelParamCount>;

// A channel's program and its seven controller lanes (0..127 each).
struct ChannelControls {
    uint8_t program = 0;
    std::array<uint8_t, 7> lanes{};  // lane k (1..7) at lanes[k − 1]

    uint8_t lane(uint32_t number) const { return lanes[number - 1]; }
    uint8_t& lane(uint32_t number) { return lanes[number - 1]; }
};

static_assert(sizeof(ChannelControls) == 8, "program byte then lanes 1..7");

// Master tone filter, per side:
//   d = x − low;  low += A·d                      (one-pole low cut; A = 1 differentiates)
//   high += B·(d − high);  y = high               (one-pole high cut; skipped when B == 1, y = d)
// A = ((g11 + 1)/128)², B = ((g12 + 1)/128)² from the song's global block.
struct MasterToneFilter {
    float lowCutCoefficient = 0.0f;  // A
    float lowCutLeft = 0.0f;
    float lowCutRight = 0.0f;
    float highCutCoefficient = 0.0f;  // B; exactly 1 bypasses the high cut
    float highCutLeft = 0.0f;
    float highCutRight = 0.0f;

    void process(StereoFrame* buffer, int n);
};

struct Synth {
    // Song and interpreter state.
    PatchBank bank;                 // borrowed from the Player
    uint32_t runningStatus = 0;     // last status byte, 0 = none; survives between streams
    uint32_t noteOnCounter = 0;     // start stamp of the next voice start
    uint32_t sampleRate = 0;        // Hz
    std::array<int32_t, kVoiceCount> voiceChannel{};       // owning channel 0..15, or kFreeVoice
    std::array<uint32_t, kVoiceCount> voiceStartStamp{};   // smaller = older
    std::array<int32_t, kChannelCount> channelLastVoice{}; // voice most recently started per channel
    int32_t framesLeft = 0;         // unread frames of the current control frame in masterBuffer
    std::array<ChannelControls, kChannelCount> channelControls{};

    // Voices and channels with their modulated parameter copies.
    std::array<VoiceParams, kVoiceCount> voiceParams{};
    std::array<dsp::Voice, kVoiceCount> voices{};
    std::array<ChannelParams, kChannelCount> channelParams{};
    std::array<fx::Channel, kChannelCount> channels{};

    // Global effects and master chain.
    std::array<float, kGlobalParamCount> globalParams{};
    fx::Reverb reverb;
    fx::ModDelay globalDelay;
    dsp::DcBlocker masterDcBlocker;
    fx::Dynamics masterDynamics;
    MasterToneFilter toneFilter;

    // Delay-line storage: left line, then right line.
    std::array<float, 2 * kGlobalDelayLineLength> globalDelayStorage{};
    std::array<std::array<float, 2 * kChorusLineLength>, kChannelCount> channelDelayStorage{};

    // Scratch of one control frame. The voice scratch serves two uses that never
    // overlap in time: while voices render, its 560 floats are the voice's two
    // 280-float work buffers; while effects run, it is the dynamics units' level
    // buffer of 280 frames. StereoFrame is exactly two floats (standard layout),
    // so the array is also 560 contiguous floats (see workBuffer()).
    std::array<StereoFrame, kMaxFrames> voiceScratch{};
    std::array<StereoFrame, kMaxFrames> channelBuffer{};
    std::array<float, kMaxFrames> reverbSendBus{};
    std::array<float, kMaxFrames> delaySendBus{};
    std::array<StereoFrame, kMaxFrames> masterBuffer{};
    std::array<StereoFrame, kMaxFrames> auxBus1{};
    std::array<StereoFrame, kMaxFrames> auxBus2{};

    // Voices rendered ahead of their channels, their chains in SIMD lanes: each one's finished
    // work buffer (the signal before the pan), a flag per voice, and the kernels' scratch.
    std::array<std::array<float, kMaxFrames>, kVoiceCount> groupedVoiceWork{};
    std::array<uint8_t, kVoiceCount> voiceGrouped{};
    dsp::VoiceLaneScratch laneScratch;

    // Channels whose strip input needs nothing a lower channel sends in the frame (no aux
    // returns, every voice rendered ahead, not the singer's): their voices are summed and their
    // first DC blocker run ahead of the channel loop, all such channels side by side; with
    // order 0 also dynamics, shelf and shaper, then the second DC blockers side by side.
    // channelAhead: 0 not ahead, 1 up to dc1, 2 up to dc2. After its strip, each channel's
    // output waits in its ahead buffer for the meters, which run together at the frame's end.
    std::array<std::array<StereoFrame, kMaxFrames>, kChannelCount> channelAheadBuffer{};
    std::array<uint8_t, kChannelCount> channelAhead{};

    speech::Singer singer;

    // Meters: mode 0 peak with a 0.9999 decay per frame, otherwise mean square.
    uint32_t meterMode = 0;
    std::array<StereoFrame, kChannelCount> channelMeters{};
    StereoFrame masterMeter;

    // The listener's channel mutes, bit c for channel c (0 = all heard). A muted
    // channel runs its voices, strip and sends as usual; only its addition to
    // the master buffer is left out, and its meter reads 0. With no bit set the
    // output is bit-identical to an engine without mutes. The mask is the
    // listener's setting, not song state: init keeps it.
    uint32_t mutedChannels = 0;

    // Opening a song.
    void init(PatchBank patchBank, uint32_t rate);
    void setGlobalParams(const uint8_t* block);  // reads 22 bytes

    // Engine entry points.
    void processEvents(const uint8_t* stream);
    // destination: StereoFrames (as floats) when right is null, else the left plane.
    void render(float* destination, uint32_t frameCount, float* right, uint32_t addFlag);

    // Control-frame work.
    void renderControlFrame();
    // The voices that fit the SIMD lanes of the current path, rendered up to the pan.
    void renderVoiceGroups(int n);
    // The channels that can run ahead, up to their first or second DC blocker (channelAhead).
    void renderChannelsAhead(int n);
    void applyVoicePatch(int voice);
    void updateChannel(int channel);

    // Queries.
    speech::Singer& singerState();
    void setMeterMode(uint32_t mode);
    void setMutedChannels(uint32_t mask);
    void channelLevel(int channel, float& left, float& right) const;
    void masterLevel(float& left, float& right) const;
    void voiceCounts(uint32_t counts[17]) const;
    void channelPrograms(uint32_t programs[16]) const;
    int32_t frameLength() const;
    static size_t stateSize();

    // Interpreter handlers.
    void noteOn(int channel, int32_t note, int32_t velocity);
    void noteOff(int channel, int32_t note);
    void controlChange(int channel, uint32_t number, uint32_t value);
    void programChange(int channel, uint8_t program);
    int chooseVoice(int channel, uint32_t voiceLimit) const;  // −1 when there is no candidate

    // Control-frame start: voice updates and frees, channel set-up, singer step.
    void startControlFrame();

    float* workBuffer() { return &voiceScratch[0].left; }
    StereoFrame* levelBuffer() { return voiceScratch.data(); }
};

// The Synth most recently passed to init, setGlobalParams, processEvents or render.
Synth* currentSynth();
// Engine entry points make their Synth the current one.
void makeCurrent(Synth* synth);

// The engine-wide control-frame length L in force (set by Synth::init; never above 280).
int32_t engineFrameLength();

}  // namespace zimblo::synth
