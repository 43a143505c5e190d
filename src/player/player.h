// Player: the song transport and render driver, with the song tables and the
// event sequencer it drives.
//
// open parses a song in place and resets the sequencer (which initialises the
// Synth); play rewinds, seeks to a start time by sending every earlier event
// without rendering, and sets the song playing; render fills a block, split at
// the frames where steps fall so that every EventStream reaches the Synth at
// its exact frame; stop ends playback at once or after a linear fade.
//
// Time: song ticks; frames at sampleRate; transport times in units of
// 1/timeUnitsPerSecond s (milliseconds when it is 1000). Frames per tick =
// scaledSamplesPerQuarter / scaledTicksPerQuarter, where
//   scaledSamplesPerQuarter = (sampleRate / 100) · tempo (µs per quarter) and
//   scaledTicksPerQuarter  = ticks per quarter · 10000;
// the remainders of that division are summed modulo 2^32 and add one frame
// each time the sum wraps.
//
// The record is as large as the Synth it starts with (megabytes): keep it in
// static or heap storage. The owner sets timeUnitsPerSecond and isOpen = 0
// before the first open (the default initialisers do so).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "dsp/stereo_frame.h"
#include "player/song_format.h"
#include "synth/synth.h"

namespace zimblo::player {

enum class PlayState : uint32_t { Stopped = 0, Ended = 1, Playing = 2 };

// One lane's read position in the sequencer.
struct LaneCursor {
    const uint8_t* position = nullptr;  // plane-0 byte of the current event
    uint32_t index = 0;                 // events already emitted
    uint32_t nextTick = 0;              // meaningful while index < count
    uint8_t value1 = 0;                 // running value of value plane 1
    uint8_t value2 = 0;                 // running value of value plane 2 (notes, pitch bend)
};

constexpr size_t kEventBufferBytes = 4096;
// Status bytes of the EventStream; the low nibble is the track's channel.
constexpr uint8_t kNoteOnStatus = 0x90;
constexpr uint8_t kControllerStatus = 0xB0;
constexpr uint8_t kProgramStatus = 0xC0;
constexpr uint8_t kPitchBendStatus = 0xE0;
constexpr uint8_t kStreamTerminator = 0xFD;

// The block a Synth reads from a song's effect block.
constexpr uint32_t kGlobalParamBytes = 22;

// Tempo in force until the tempo map says otherwise: 500000 µs per quarter
// (120 quarters per minute), so scaledSamplesPerQuarter = sampleRate · 5000.
constexpr uint32_t kDefaultScaledSamplesPerQuarterPerHz = 5000;

// Stores into `result` the frames from earlierTick to laterTick:
// gap · scaledSamplesPerQuarter / scaledTicksPerQuarter in 64 bits, the
// remainder summed into the accumulator modulo 2^32 and one frame more when
// that sum wraps. A divisor of 0 gives 0 frames; a count beyond 32 bits
// saturates at 0xFFFFFFFF.
void ticksToSamples(uint32_t laterTick, uint32_t earlierTick, uint32_t scaledSamplesPerQuarter,
                    uint32_t scaledTicksPerQuarter, uint32_t& accumulator, uint32_t& result);

struct Player {
    // The engine; first, so the Player is the record its operations work on.
    synth::Synth synth;

    // Set by the owner before the first open.
    uint32_t timeUnitsPerSecond = 1000;
    uint32_t isOpen = 0;

    // Song tables, pointing into the song data.
    synth::PatchBank patchBank;          // data and size B
    const uint8_t* effectBlock = nullptr;
    uint32_t effectBlockSize = 0;        // A
    uint32_t ticksPerQuarter = 0;
    uint32_t scaledTicksPerQuarter = 0;  // ticks per quarter · 10000
    uint32_t songLength = 0;
    const uint8_t* tempoMap = nullptr;
    uint32_t tempoCount = 0;             // N
    std::array<TrackLanes, kTrackCount> tracks{};
    const uint8_t* textBlock = nullptr;
    std::array<const char*, kTextTableSize> texts{};

    PlayState state = PlayState::Stopped;

    // Sequencer.
    uint32_t currentTick = 0;
    uint32_t nextEventTick = kNoTick;
    const uint8_t* tempoCursor = nullptr;
    uint32_t nextTempoTick = 0;
    uint32_t tempoIndex = 0;
    uint32_t scaledSamplesPerQuarter = 0;
    uint32_t numerator = 4;
    uint32_t denominator = 4;
    uint32_t thirdByte = 8;
    uint32_t barCount = 0;
    uint32_t beatInBar = 0;
    uint32_t tickInBeat = 0;
    std::array<std::array<LaneCursor, kLanesPerTrack>, kTrackCount> cursors{};

    uint32_t samplesToNextEvent = 0;  // frames before the next step; all ones when none is due
    uint32_t remainderAccumulator = 0;
    uint32_t sampleRate = 0;
    std::array<uint8_t, kEventBufferBytes> eventBuffer{};
    float fadeLevel = 1.0f;
    float fadeStep = 0.0f;  // level lost per frame; 0 while no fade runs

    // An effect block shorter than the 22 bytes the Synth reads, zero-padded.
    std::array<uint8_t, kGlobalParamBytes> paddedEffectBlock{};

    // Transport. Results: 1 success, 0 failure.
    // Parses the song (no length: it is trusted) and resets the sequencer.
    // Refuses a rate whose control frame would exceed 280 frames (above 96468 Hz).
    uint32_t open(const uint8_t* song, uint32_t rate);
    // Checks `length` bytes with checkSong and the rate before anything is
    // recorded; on refusal the Player is left as it was and `error` (if given)
    // holds one line saying why.
    uint32_t openChecked(const uint8_t* song, size_t length, uint32_t rate, std::string* error);
    void close();
    void play(int32_t startTime);
    // Returns the fade length in frames, 0 when stopping at once.
    uint32_t stop(int32_t fadeTime);
    // Fills count frames, or with mix != 0 adds into them.
    void render(StereoFrame* frames, uint32_t count, uint32_t mix);
    static void renderCallback(void* context, StereoFrame* frames, uint32_t count);

    // Song loader: records where each part lies; fails only on an effect block
    // above 16384 bytes or a patch bank above 1048576 bytes.
    uint32_t parseSong(const uint8_t* song);

    // Sequencer.
    void resetSequencer();
    void step();
};

}  // namespace zimblo::player
