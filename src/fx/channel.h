// Channel: one channel's mixer gains and effect strip.
//
// Per control frame, on the channel buffer in place:
//   buffer += aux1·aux1Return + aux2·aux2Return
//   dc1 → dynamics → shelf → (shaper → dc2 → chorus)   order 0
//                            (chorus → shaper → dc2)   any other order
//   reverb bus += (L + R)·reverbSend,  delay bus += (L + R)·delaySend
//   aux1 += frame·aux1Send,  aux2 += frame·aux2Send,  master += frame·volume
// The sum L + R (not the mean) feeds the mono buses. The buffer keeps the
// processed signal before the volume, for the channel meter.
//
// Parameters P0..P28 (0..128 scale):
//   P0 volume = P0/128 · 0.6     P1, P2 aux returns = P/128
//   P3, P4 aux sends = P/128 · 0.6
//   P5, P6 reverb and delay sends = P/128 · 0.6 · volume (a silent channel sends nothing)
//   P7 order (rounded)           P8 bass shelf          P9..P12 shaper M, D, A, B
//   P13..P19 chorus q0..q6       P20..P28 dynamics d0..d8
//
// The dc2 after the shaper removes the offset an asymmetric (biased) shaper
// adds; dc1 removes the ε every voice adds to the buffer.
#pragma once

#include <cstdint>

#include "dsp/dc_blocker.h"
#include "dsp/shaper.h"
#include "dsp/stereo_frame.h"
#include "fx/dynamics.h"
#include "fx/low_shelf.h"
#include "fx/mod_delay.h"

namespace zimblo::fx {

// The engine's buses of one control frame, cleared before the first strip.
struct SendBuses {
    float* reverb = nullptr;          // mono
    float* delay = nullptr;           // mono
    StereoFrame* aux1 = nullptr;
    StereoFrame* aux2 = nullptr;
    StereoFrame* master = nullptr;   // null: the channel is muted, it adds nothing here
};

// Where a strip starts: at the aux returns (the whole strip), after dc1, or, for order 0 only,
// after dc2 (processFront, or processDynamicsAndShelf and the shaper, has run and dc2 with it),
// at the chorus.
enum class StripStart { Returns, Dynamics, Chorus };

struct Channel {
    // Settings: mixer gains and the chain order.
    float volume = 0.0f;
    float reverbSend = 0.0f;  // includes volume
    float delaySend = 0.0f;   // includes volume
    float aux1Send = 0.0f;
    float aux2Send = 0.0f;
    float aux1Return = 0.0f;
    float aux2Return = 0.0f;
    int32_t order = 0;  // 0: shaper before chorus; otherwise chorus first
    // Effect units.
    dsp::DcBlocker dc1;
    LowShelf shelf;
    dsp::Shaper shaper;
    dsp::DcBlocker dc2;
    ModDelay chorus;  // lines and mask set by the engine
    Dynamics dyn;

    // Resets the shaper, chorus, dynamics and both DC blockers; the shelf, gains
    // and order keep their values.
    void resetEffects();
    // params: the 29 values P0..P28.
    void setupEffects(const float* params);
    // buffer: n frames in place. levelBuffer: scratch of at least n frames lent
    // to the dynamics detector.
    // start: how much of the strip has already run on the buffer (the DC blockers of several
    // channels side by side, processFront in between).
    void processStrip(StereoFrame* buffer, int n, const SendBuses& buses, StereoFrame* levelBuffer,
                      StripStart start = StripStart::Returns);
    // Order 0, after dc1: dynamics, shelf and shaper, which read nothing but the buffer.
    void processFront(StereoFrame* buffer, int n, StereoFrame* levelBuffer);
    // The front without its shaper, for the shapers of several strips to run side by side.
    void processDynamicsAndShelf(StereoFrame* buffer, int n, StereoFrame* levelBuffer);
    // True when the strip adds the aux buses, which lower channels fill in the same frame.
    bool takesAuxReturns() const { return aux1Return != 0.0f || aux2Return != 0.0f; }
};

}  // namespace zimblo::fx
