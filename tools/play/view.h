// The player's view: a function from a snapshot of what is heard to a grid of
// characters, so that it can be tested without a terminal.
//
// Rows from the top: title (file name, the project's title, place in the
// playlist); state, position / length as m:ss and as bar:beat; the master
// meter with its clip mark; tempo, render load, volume and loop; one row per channel
// that has notes (number, mute or solo mark, program or patch name, voices
// sounding, meter); the phoneme and the lyric line while channel 15 sings; a
// message (a compile error) if any; the keys at the bottom, flowed over as many
// rows as the width needs. Channels that do not fit say how many are left out.
// Meters span −60..0 dBFS. Fits any size from 40×12 up; smaller grids are
// clipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "screen_grid.h"

namespace zimblo::play {

enum class PlayMode { Playing, Paused, Ended };

struct ChannelView {
    int channel = 0;
    std::string program;  // patch name, or "program N"
    uint32_t voices = 0;
    float level = 0.0f;   // larger side of the channel's meter, full scale 1.0
    bool muted = false;   // muted by itself or by another channel's solo
    bool soloed = false;
};

struct ViewState {
    std::string fileName;
    std::string title;
    int fileIndex = 0;   // from 0
    int fileCount = 1;
    PlayMode mode = PlayMode::Playing;
    uint64_t positionMs = 0;
    uint64_t lengthMs = 0;
    uint32_t bar = 1;    // from 1
    uint32_t beat = 1;   // from 1
    uint32_t lengthBar = 1;   // the last event's, from 1
    uint32_t lengthBeat = 1;
    double tempoBpm = 120.0;
    float masterLevel = 0.0f;
    bool clipMark = false;
    double loadPercent = 0.0;  // render time in percent of real time
    int volumePercent = 100;
    bool loop = false;
    bool soloPending = false;  // 's' pressed, waiting for the channel key
    std::vector<ChannelView> channels;
    bool singing = false;
    std::string lyric;
    size_t lyricPosition = 0;  // byte of the lyric being sung
    std::string phoneme;
    std::string message;
};

constexpr float kMeterFloorDb = -60.0f;

// "m:ss", minutes unbounded.
std::string minutesSeconds(uint64_t milliseconds);
// Level in dBFS with one decimal, "-inf" for silence.
std::string decibelText(float level);
// `cells` characters: '#' up to the level on a −60..0 dB scale, '.' after.
std::string meterBar(float level, int cells);

ScreenGrid drawView(const ViewState& state, int width, int height);

// The key list as shown at the bottom of the screen (and the same words as the
// help), and its short form for terminals narrower than 80 columns.
std::vector<std::string> keyLegend();
std::vector<std::string> shortKeyLegend();

}  // namespace zimblo::play
