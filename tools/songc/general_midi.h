// Playing a Standard MIDI File as a General MIDI player does, within what the
// engine expresses.
//
// The channel events of the file, in time order, become song events:
// - MIDI channel c plays on track c − 1, its program changes name the
//   built-in bank's patch of that program; a track that plays notes before
//   any program change starts on program 0 (acoustic grand piano).
// - Channel 10 is the drum kit. The engine holds one patch per track, so the
//   drum notes are split by family (kick, snare, toms, hi-hats, cymbals, hand
//   percussion) onto tracks that no melodic channel uses, each track with its
//   family's kit patch. With fewer free tracks than families, families share
//   a track (their order of merging is fixed, below); with no free track at
//   all, every drum note stays on track 9 with the whole-kit patch.
// - CC7 (volume) drives controller lane 7, starting at 100 as in a GM reset;
//   CC11 (expression) lane 4 as the attenuation 127 − value; CC10 (pan) lanes
//   2 and 3 as the distance right and left of the centre, so that the lanes'
//   value 0 (their state after a program change) is the centre; CC1
//   (modulation) lane 1. The bank's patches route these lanes. The engine
//   clears lanes 1..6 at a program change, so the current values are written
//   again right after each one.
// - The sustain pedal (CC64 at 64 or more) holds note-offs until it rises.
// - A note-on of a key that still sounds ends it first, so a single note-off
//   ends the key; a note-off of a key that does not sound is dropped.
// - At the file's end every key that still sounds is released.
// - What cannot be expressed (pitch bends, aftertouch, other controllers,
//   system exclusive) is dropped, with one warning line per kind and count.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "song_events.h"

namespace zimblo::songc {

// One channel message of the file.
struct MidiChannelEvent {
    uint64_t pulses = 0;  // in the file's own division
    uint8_t status = 0;   // with the channel in the low four bits
    uint8_t data1 = 0;
    uint8_t data2 = 0;
    int fileTrack = 0;  // the track chunk it came from, for messages
};

// Drum families of the General MIDI key map, in the order they are given tracks.
enum class DrumFamily : uint8_t { Kick, Snare, Toms, HiHats, Cymbals, HandPercussion };
constexpr int kDrumFamilyCount = 6;
constexpr int kDrumChannel = 9;  // MIDI channel 10

DrumFamily drumFamilyOf(int note);

// The built-in bank's patch names (without the "gm:" prefix) of each family's
// kit patch, and of the whole kit used when the drums have only one track.
const char* drumPatchName(DrumFamily family);
constexpr const char* kWholeKitPatchName = "standard_kit";

// Which family plays on which track: `freeTracks` are the tracks no melodic
// channel uses (track 9 is always the drums' own). Families that no note uses
// take no track. Returns the track of each family.
std::array<int, kDrumFamilyCount> assignDrumTracks(const std::array<bool, kDrumFamilyCount>& used,
                                                   const std::vector<int>& freeTracks, bool& wholeKit);

struct GeneralMidiSettings {
    std::string displayName;
    std::function<uint64_t(uint64_t)> tickOf;  // file pulses to song ticks
    uint64_t endPulses = 0;                    // the file's end, where held keys are released
    // The bank's patch name of General MIDI program 0..127.
    std::function<std::string(int)> programPatchName;
};

struct GeneralMidiResult {
    std::vector<SongEvent> events;
    Warnings warnings;
};

// `events` must be in time order (as the file plays them).
GeneralMidiResult playAsGeneralMidi(const std::vector<MidiChannelEvent>& events, const GeneralMidiSettings& settings);

}  // namespace zimblo::songc
