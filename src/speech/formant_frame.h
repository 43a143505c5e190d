// One target of the formant voice: 19 floats of frequencies (Hz), bandwidths
// (Hz), levels, a duration and a transition rank.
//
// A level is a logarithmic amplitude, gain = 2^((level − 70)/6): 70 is unity,
// every 6 units double it, −16 is about −86 dB (off). The duration counts
// sequencer steps (each `speed` control frames long); the rank shapes the glide
// into the frame (see lyric_sequencer.h).
#pragma once

#include <array>

namespace zimblo::speech {

// Parameter indexes of a FormantFrame.
enum FrameParameter : int {
    kF1Frequency = 0,
    kF1Bandwidth = 1,
    kF2Frequency = 2,
    kF2Bandwidth = 3,
    kF3Frequency = 4,
    kF3Bandwidth = 5,
    kNasalFrequency = 6,
    kVoicingLevel = 7,
    kAspirationLevel = 8,
    kFricationLevel = 9,
    kBypassLevel = 10,
    kF1Level = 11,
    kF2Level = 12,
    kF3Level = 13,
    kF4Level = 14,
    kNasalLevel = 15,
    kHighLevel = 16,
    kDuration = 17,
    kRank = 18,
};

constexpr int kFrameParameterCount = 19;

using FormantFrame = std::array<float, kFrameParameterCount>;

}  // namespace zimblo::speech
