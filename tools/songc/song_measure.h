// Measuring a song by rendering it offline through the Player at 44.1 kHz:
// its peak, how many samples reach the output's clamp at full scale, non-finite
// samples, its length, and the loudest reading of each channel's meter.
//
// The compiler uses it for the automatic gain of MIDI files; the bank's and
// the import's checks use it to judge what they render.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace zimblo::songc {

constexpr uint32_t kMeasureRate = 44100;

struct SongMeasure {
    bool opened = false;
    float peak = 0.0f;              // largest |sample| of either side
    uint64_t clampedSamples = 0;    // samples with |x| >= 1: clipped by the output
    uint64_t nonFiniteSamples = 0;
    uint64_t framesToEnd = 0;       // frames until the last event was played
    uint64_t framesRendered = 0;
    uint64_t lastAudibleFrame = 0;  // the last frame with |x| above -90 dBFS
    std::array<float, 16> channelPeak{};  // each channel's meter at its loudest (before its volume)
};

// Renders until the song's last event and then `tailSeconds` more, or, when
// `maxSeconds` is reached first, stops there. `seed` pins the free-running
// counter so the render repeats exactly. With `mono`, the mean of left and
// right of every frame is kept there.
SongMeasure measureSong(const std::vector<uint8_t>& song, double tailSeconds, double maxSeconds = 3600.0,
                        uint32_t seed = 1, std::vector<float>* mono = nullptr);

}  // namespace zimblo::songc
