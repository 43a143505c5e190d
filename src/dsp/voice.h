// Voice: one note of the synth, three oscillators through two filters, a shaper and a DC
// blocker, ramped and panned into its channel's stereo buffer.
//
//   work = osc1 → osc2 → osc3                      (each adds, multiplies or replaces)
//   work = F1(work)                                routing 0, single
//        = F2(F1(work))                            any other routing, serial
//        = F2(work)·mix2 + F1(work)·mix1           routing 2, parallel
//   work = DcBlocker(Shaper(work))
//   left += work·a·√(1 − p) + ε,  right += work·a·√p + ε,   a ramps linearly over the frame
//
// Parameters (the 59 VoiceParams, 0..128 scale; unmodulated bytes up to 255):
//   P0 pan p = P0/128; P1 voice transpose P1 − 64 semitones; P2..P19 oscillators 1..3;
//   P20..P25 filters 1, 2; P26 routing; P27 balance b = P27 − 64: b ≥ 0 lowers filter 1
//   (mix1 = 1 − b/64), b < 0 lowers filter 2 (mix2 = 1 + b/64); P28..P31 shaper;
//   P32..P43 envelopes 1, 2; P44..P57 LFOs 1, 2; P58 note-start mode: 0 legato (phases,
//   levels and filter states run on), 2 in the low byte a full restart from silence, any
//   other value a phase restart.
//
// The amplitude target is envelope 1's output/128, reached by a linear ramp over each control
// frame (amplitudeStep per sample), so control-rate gain changes never step. Every rendered
// voice adds the denormal guard ε = 2^-18 to both sides of every frame, which the channel's
// DC blockers remove. The mono DC blocker after the shaper takes out the filters' guard
// offsets and any DC the shaper's bias adds.
#pragma once

#include <array>
#include <cstdint>

#include "dsp/dc_blocker.h"
#include "dsp/envelope.h"
#include "dsp/lfo.h"
#include "dsp/oscillator.h"
#include "dsp/shaper.h"
#include "dsp/stereo_frame.h"
#include "dsp/voice_filter.h"

namespace zimblo::dsp {

// Buffers shared by all voices (each voice renders to completion before the next): work and
// second hold kMaxFrameLength (280) floats each; aux are the inter-channel buses the
// oscillators' aux inputs read.
struct VoiceScratch {
    float* work = nullptr;
    float* second = nullptr;
    AuxInputs aux;
};

// Filter routing, from the low byte of P26; every value but 0 and 2 is serial.
enum class FilterRouting : int32_t { Single = 0, Serial = 1, Parallel = 2 };

// Note-start mode from P58: 0 legato; 2 in the low byte a full restart from silence; every
// other value restarts the oscillator phases only.
enum class NoteStartMode : int32_t { Legato = 0, RestartPhases = 1, FullReset = 2 };

struct Voice {
    // Note state (start and release).
    int32_t note = 0;
    float velocity = 0.0f;  // a modulation source only
    int32_t gate = 0;       // 1 while the key is held

    // Running gain: ramped per sample, stored back at the end of each control frame.
    float amplitude = 0.0f;
    float amplitudeStep = 0.0f;  // per sample, set by update()

    // Settings and derived gains (setup).
    float transpose = 0.0f;  // P1 − 64 semitones
    int32_t routing = 0;     // FilterRouting in the low byte
    float leftGain = 0.0f;   // √(1 − P0/128)
    float rightGain = 0.0f;  // √(P0/128)
    float filter1MixGain = 0.0f;
    float filter2MixGain = 0.0f;
    int32_t noteStartMode = 0;  // NoteStartMode

    // Units.
    std::array<Oscillator, 3> oscillators{};
    std::array<VoiceFilter, 2> filters{};
    std::array<Envelope, 2> envelopes{};  // envelope 1 is the amplitude envelope
    std::array<Lfo, 2> lfos{};
    Shaper shaper;
    DcBlocker dcBlocker;  // the mono form: previous input and output in the left states

    // params: the 59 VoiceParams P0..P58.
    void setup(const float* params);
    // Resets every unit; note, velocity, gate and amplitude keep their values.
    void reset();
    // A note start, after setup; the note-start mode decides what restarts.
    void start(int32_t noteNumber, int32_t noteVelocity);
    // Gate off; the envelopes enter Release at their next tick.
    void release();
    // Once per control frame: envelope 1, envelope 2, LFO 1, LFO 2 ticks, then the amplitude
    // step towards envelope 1's output/128 over one frame.
    void update();
    // Adds n frames (n <= kMaxFrameLength) into destination, using the scratch buffers.
    void render(int n, StereoFrame* destination, const VoiceScratch& scratch);

    // The stages of render, for renders that run the middle ones for a group of voices at once
    // (voice_lanes.h): the oscillators into work (n samples, cleared first); the filters, the
    // shaper and the DC blocker in place; the amplitude ramp, work becoming work·gain; the
    // pan, adding work·left + ε and work·right + ε into destination.
    void renderOscillators(float* work, int n, const AuxInputs& aux);
    void renderChain(float* work, float* second, int n);
    void applyAmplitude(float* work, int n);
    void addPanned(const float* work, int n, StereoFrame* destination) const;
};

}  // namespace zimblo::dsp
