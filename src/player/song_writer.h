// SongWriter: builds song data bytes from events at absolute ticks.
//
// Events are gathered per track and lane, sorted stably by tick (events at one
// tick keep the order they were added in) and encoded as the format wants:
// 24-bit deltas from the lane's previous event, values as differences from the
// lane's running value modulo 256, one byte plane per column. The song length
// is the tick of the last event (tempo entries included).
//
// The writer encodes; checkSong judges. build() refuses only what the format
// cannot hold: a gap above 16777215 ticks, events on a track without notes (a
// note count of 0 ends the track record), a text containing NUL, a patch with
// more than 255 routes. Songs the loader refuses (an effect block above 16384
// bytes, 257 texts, ...) can be written, so that they can be tested.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "player/song_format.h"
#include "synth/patch.h"

namespace zimblo::player {

struct PatchDescription {
    std::array<uint8_t, synth::kVoiceParamCount> voice{};      // patch bytes 0..58
    std::array<uint8_t, synth::kChannelParamCount> channel{};  // patch bytes 59..87
    uint8_t voiceLimit = 0;
    std::vector<synth::ModRoute> routes;
};

// The bank bytes for these patches, program i being patches[i]: the offset
// table, then the patches in order. Throws std::invalid_argument for a patch
// with more than 255 routes.
std::vector<uint8_t> buildPatchBank(const std::vector<PatchDescription>& patches);

class SongWriter {
public:
    void setTicksPerQuarter(uint32_t ticks);  // 128 unless set
    void addTempo(uint32_t tick, uint32_t microsecondsPerQuarter, uint8_t numerator = 4,
                  uint8_t denominator = 4, uint8_t thirdByte = 8);

    // track 0..15; a velocity of 0 ends the note. Throw std::out_of_range for
    // a track outside 0..15 or a controller number outside 1..7.
    void addNoteOn(int track, uint32_t tick, uint8_t note, uint8_t velocity);
    void addNoteOff(int track, uint32_t tick, uint8_t note);
    void addProgram(int track, uint32_t tick, uint8_t program);
    void addPitchBend(int track, uint32_t tick, uint8_t first, uint8_t second);
    void addController(int track, int number, uint32_t tick, uint8_t value);

    void setEffectBlock(std::vector<uint8_t> bytes);  // written as given
    void addPatch(PatchDescription patch);            // programs in the order added
    void setPatchBankBytes(std::vector<uint8_t> bank);  // written as given, instead of the patches
    void addText(std::string text);                   // texts in the order added

    // The song bytes; throws std::invalid_argument naming what cannot be encoded.
    std::vector<uint8_t> build() const;

private:
    struct Event {
        uint32_t tick = 0;
        uint8_t value1 = 0;
        uint8_t value2 = 0;
    };
    struct TempoEntry {
        uint32_t tick = 0;
        uint32_t microsecondsPerQuarter = 0;
        uint8_t numerator = 4;
        uint8_t denominator = 4;
        uint8_t thirdByte = 8;
    };

    void add(int track, int lane, Event event);

    uint32_t ticksPerQuarter_ = 128;
    std::vector<TempoEntry> tempoMap_;
    std::array<std::array<std::vector<Event>, kLanesPerTrack>, kTrackCount> lanes_;
    std::vector<uint8_t> effectBlock_;
    std::vector<PatchDescription> patches_;
    std::vector<uint8_t> rawPatchBank_;
    bool useRawPatchBank_ = false;
    std::vector<std::string> texts_;
};

}  // namespace zimblo::player
