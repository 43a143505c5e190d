// Events from a Standard MIDI File (type 0 or 1), read with the system's MIDI
// file library.
//
// MIDI channels map onto tracks and MIDI controller numbers onto the seven
// controller lanes through tables the project gives; notes, program changes
// and pitch bends pass through; ticks are rescaled from the file's division to
// the song's ticks per quarter (nearest tick, halves up). The file's tempo and
// time-signature map can become the song's.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "song_events.h"

namespace zimblo::songc {

struct MidiImportSettings {
    std::string path;         // the file to read
    std::string displayName;  // the name in messages
    uint32_t ticksPerQuarter = 128;
    std::array<int, 16> channelTrack{};       // track of each MIDI channel 0..15, −1 drops it
    std::array<int, 128> controllerLane{};    // lane 1..7 of each controller number, 0 drops it
    uint64_t offsetTicks = 0;  // where the file's tick 0 lands
    int transpose = 0;
    bool programs = true;  // import program changes
    bool tempo = false;    // return the tempo and time-signature map
    // Play the file as a General MIDI player does (see general_midi.h);
    // channelTrack and controllerLane are then not used.
    bool generalMidi = false;
    // The file's bytes, when they are not to be read from `path`.
    std::vector<uint8_t> bytes;
    // The bank's patch name of each General MIDI program (generalMidi only).
    std::function<std::string(int)> programPatchName;
};

struct MidiImport {
    std::vector<SongEvent> events;
    std::vector<TempoEntry> tempo;  // only with settings.tempo
    Warnings warnings;
    uint64_t endTick = 0;  // the file's end (its last end-of-track), in song ticks
};

// Identity maps: channel c to track c, controllers 1..7 to lanes 1..7.
MidiImportSettings defaultMidiSettings();

// Throws IoError when the file cannot be read (from `path` when no bytes are
// given), InputError (with the byte offset
// where it can be told) for a truncated or malformed file, a note out of range
// after transposition, or an unsupported file (type 2, time-code division).
MidiImport importMidi(const MidiImportSettings& settings);

// The chunk structure alone: header, then each chunk's length against what the
// file holds. Throws InputError naming the byte offset of the first fault.
void checkMidiChunks(const std::vector<uint8_t>& bytes, const std::string& displayName);

}  // namespace zimblo::songc
