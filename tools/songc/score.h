// The score format: plain text for writing music by hand.
//
// A score file holds aliases (a name for a pitch), patterns (reusable pieces
// of music) and track blocks (the music of one track, from bar 1, built from
// notes and from patterns played at positions, repeated and transposed).
// Notes are named by letter, accidentals and octave (C4 = 60); durations are
// musical values (4 a quarter, 8. a dotted eighth, 8t a triplet eighth, 3/16,
// ties with +); controllers are set or ramped over a duration. The full
// description is docs/song-format.md; this reader turns score files into song
// events at absolute ticks, or refuses them with file:line:column.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "song_events.h"

namespace zimblo::songc {

struct ScoreFile {
    std::string name;  // shown in error messages
    std::string text;
};

struct ScoreSettings {
    uint32_t ticksPerQuarter = 128;
    const MeterMap* meters = nullptr;  // the song's bar grid, for `at` and track bar checks
    // The program number of a patch name, if the bank has such a patch.
    std::function<std::optional<int>(std::string_view)> programNamed;
    int programCount = 128;  // program numbers at or above this are refused
};

// All events of all track blocks of the files, in the order they were written
// (within a block: by position as the block is read). Throws InputError.
std::vector<SongEvent> compileScores(const std::vector<ScoreFile>& files, const ScoreSettings& settings);

// A note name ("C4", "f#3", "Bb-1") as a note number, which may lie outside
// 0..127; nullopt when the text is not a note name.
std::optional<int> parsePitch(std::string_view text);

// A duration ("4", "8.", "8t", "3/16", "2+8") in ticks; throws InputError at
// `place` for a malformed value or one that is not a whole number of ticks.
uint64_t parseDuration(std::string_view text, uint32_t ticksPerQuarter, const SourcePlace& place);

}  // namespace zimblo::songc
