// The speech singer of channel 15: a lyric sequencer choosing formant frames
// and a formant filter that turns the channel's voices into sung phonemes.
//
// The engine drives it: setSampleRate and initialise at every engine
// initialisation, setTexts with the song's text table, step once per control
// frame, render on channel 15's buffer (only while a voice plays there), and
// channel 15's events through controller and the two resume calls:
//   controller 4, value 0..62:  sing line `value` from its start (after reset)
//   controller 4, value 64..:   speed = value − 63 control frames per step
//   controller 5, value v:      formant scale = 2^((v − 64)/128), 64 = 1.0
//   note on  → resumeAfterNoteOn  (releases a '!' pause)
//   note off / all notes off → resumeAfterNoteOff (releases a '_' pause)
//
// The record is plain and fixed-size and lives inside the engine's state; an
// all-zero record is valid (it is halted and renders without fault).
#pragma once

#include <cstdint>
#include <type_traits>

#include "dsp/stereo_frame.h"
#include "speech/formant_filter.h"
#include "speech/lyric_sequencer.h"

namespace zimblo::speech {

struct Singer {
    LyricSequencer sequencer{};
    FormantFilter filter{};

    // Shared angle step and bandwidth factor for a sample rate in Hz.
    static void setSampleRate(uint32_t rate);
    // Decodes the frame table, resets, sets scale 1.0 and speed 3, selects
    // line 0 and computes the shared output triple.
    void initialise();
    // Both coefficient sets back to the silence frame; keeps pauses,
    // countdowns and filter histories.
    void reset();
    // Takes entries 0..63 of the song's 256-entry text table.
    void setTexts(const char* const* table);
    // One control frame of the sequencer.
    void step();
    // Filters channel 15's buffer in place (left in, mono out on both sides).
    void render(StereoFrame* frames, int n);
    void controller(uint32_t number, uint32_t value);
    void resumeAfterNoteOn();
    void resumeAfterNoteOff();
};

static_assert(std::is_trivially_copyable_v<Singer> && std::is_standard_layout_v<Singer>,
              "the singer is cleared with the engine state as plain bytes");

}  // namespace zimblo::speech
