// The lyric sequencer: reads a phonetic line and, once per control frame,
// sets the formant voice's target somewhere on the glide between two frames.
//
// Line syntax: '!' waits for a note-on, '_' for a note-off; decimal digits are
// a duration multiplier for the next phoneme (0 or none = 1); phoneme names
// (see phoneme_table.h); any other byte is one silence; NUL ends the line and
// the line starts again.
//
// A frame lasts steps = round(multiplier · duration) (at least 1) sequencer
// steps of `speed` control frames each. At each control frame the glide
// position t = (frame-steps left · speed + step countdown) / (steps · speed)
// falls from just under 1 to 0, and the target is
//   current frame moved towards the previous frame by w = t^(rank_prev/rank_cur),
// or the current frame itself when the ranks differ by more than 8: a
// higher-ranked previous frame is left sooner, widely different ranks switch.
#pragma once

#include <array>
#include <cstdint>

#include "speech/formant_filter.h"

namespace zimblo::speech {

constexpr int kTextCount = 64;

struct LyricSequencer {
    // The lines and where one of them is read
    std::array<const char*, kTextCount> texts{};
    const char* lineStart = nullptr;
    const char* position = nullptr;   // null halts the sequencer
    bool noteOnPause = false;         // set by '!'
    bool noteOffPause = false;        // set by '_'

    // Setting
    int32_t speed = 0;                // control frames per duration step

    // Running state
    int32_t stepCountdown = 0;
    int32_t frameStepsCountdown = 0;
    int32_t slot = 0;                 // which frame of the current row is playing
    int32_t row = 0;                  // current phoneme row
    int32_t multiplier = 0;           // duration multiplier of the current phoneme
    float inverseLength = 0.0f;       // 1 / (steps · speed)
    int32_t previousFrame = 0;
    int32_t currentFrame = 0;
    std::array<ResonatorPoles, kResonatorCount> poles{};  // the target's last B and C

    // Takes entries 0..63 of a text table (null entries stay null) and points
    // the line at entry 0.
    void setTexts(const char* const* table);
    // The line of entry index, or the empty line when that entry is null.
    const char* line(uint32_t index) const;
    // One control-frame step; writes the filter's target set.
    void step(FormantFilter& filter);

private:
    // Picks the next frame, reading text when the phoneme is used up; false
    // when a pause mark was read.
    bool advanceFrame();
    void readPhoneme();
    void loadFrame();
    void glide(FormantFilter& filter);
};

}  // namespace zimblo::speech
