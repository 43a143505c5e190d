// The end rule: where a song's playback stops once its last event is past.
//
// After the last event the synthesiser keeps rendering release and effect
// tails. Playback ends when the output has stayed below −90 dBFS on both
// sides for one second without a break (the quiet second is played), or 30 s
// after the last event, whichever comes first. A sample counts as quiet when
//   |x| < 10^(−90/20) = 3.1622776e−5   (full scale 1.0; NaN is not quiet).
// Only frames rendered after the song ended count: a quiet stretch before its
// last event does not shorten the tail.
//
// The player feeds every rendered block to observe with whether the song had
// ended before the block; observe says how many of its frames belong to the
// song, so that the end falls on an exact frame however the blocks are cut.
#pragma once

#include <cstdint>

#include "dsp/stereo_frame.h"
#include "player/player.h"

namespace zimblo::player {

constexpr float kEndQuietLevel = 3.1622776e-5f;  // −90 dBFS
constexpr uint32_t kEndQuietSeconds = 1;
constexpr uint32_t kEndLongestTailSeconds = 30;

struct EndRule {
    // Settings
    uint64_t quietFramesNeeded = 44100ull * kEndQuietSeconds;
    uint64_t longestTailFrames = 44100ull * kEndLongestTailSeconds;
    // Running state
    uint64_t tailFrames = 0;   // frames rendered since the song ended
    uint64_t quietFrames = 0;  // of those, quiet frames in a row up to now
    bool finished = false;

    void setup(uint32_t rate);
    void reset();
    // Of `count` frames rendered after `songEnded` was seen, returns how many
    // are part of the song: all of them, or fewer once the rule is met.
    // After that, 0.
    uint32_t observe(const StereoFrame* frames, uint32_t count, bool songEnded);
};

// Renders `count` frames of the player's song into `frames` and feeds them to
// the rule, split where steps fall so that the song's end is seen at its exact
// frame whatever the block size (the frames are those of one render call).
// Returns the frames that belong to the song; the rest of the block is
// silence and the player is not asked for it.
uint32_t renderUntilEnd(Player& player, EndRule& rule, StereoFrame* frames, uint32_t count);

}  // namespace zimblo::player
