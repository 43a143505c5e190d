// What the song compiler's readers produce and share: places in the input for
// error messages, the errors themselves, song events at absolute ticks, tempo
// entries, and the bar grid that turns "bar 17, beat 3" into a tick.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace zimblo::songc {

// A place in an input file: "file:line:column" (column 0 = the whole line,
// line 0 = the whole file). Binary inputs give a byte offset instead.
struct SourcePlace {
    std::string file;
    int line = 0;
    int column = 0;

    std::string text() const;
};

std::string atOffset(const std::string& file, uint64_t offset);  // "file: byte N"

// Bad input: the message is complete ("song.toml:12:3: unknown key ...").
// Exit status 2.
class InputError : public std::runtime_error {
public:
    explicit InputError(const std::string& message) : std::runtime_error(message) {}
    InputError(const SourcePlace& place, const std::string& message)
        : std::runtime_error(place.text() + ": " + message) {}
};

// A file that cannot be read or written. Exit status 1.
class IoError : public std::runtime_error {
public:
    explicit IoError(const std::string& message) : std::runtime_error(message) {}
};

enum class EventKind : uint8_t { NoteOff, NoteOn, Program, Controller, PitchBend };

struct SongEvent {
    uint64_t tick = 0;
    int track = 0;
    EventKind kind = EventKind::NoteOn;
    int lane = 0;         // controller lane 1..7
    uint8_t value1 = 0;   // note, program, controller value, bend low 7 bits
    uint8_t value2 = 0;   // velocity, bend high 7 bits
    SourcePlace place;    // where it was written, for error messages
    // A program change that names its patch instead of a number (a MIDI file
    // played through the built-in bank); the compiler gives it its number.
    std::string patchName;
};

// Warnings: one complete line each ("song.mid: 12 pitch bends dropped: ...").
using Warnings = std::vector<std::string>;

struct TempoEntry {
    uint64_t tick = 0;
    uint32_t microsecondsPerQuarter = 500000;
    uint8_t numerator = 4;
    uint8_t denominator = 4;
    uint8_t thirdByte = 8;
    SourcePlace place;
};

constexpr uint32_t kDefaultMicrosecondsPerQuarter = 500000;  // 120 quarters per minute

// The bar grid of the song. Each time-signature change starts a new bar at its
// tick; a tempo entry that keeps the time signature leaves the grid alone.
// Without entries the song is in 4/4 from tick 0.
class MeterMap {
public:
    MeterMap(uint32_t ticksPerQuarter, const std::vector<TempoEntry>& tempo);

    // The tick of bar `bar` (from 1), beat `beat` (from 1, in notes of the
    // denominator's value); throws InputError at `place` when the beat lies
    // outside the bar.
    uint64_t tickOf(uint64_t bar, uint64_t beat, const SourcePlace& place) const;
    bool isBarLine(uint64_t tick) const;
    uint32_t ticksPerQuarter() const { return ticksPerQuarter_; }

private:
    struct Segment {
        uint64_t startTick = 0;
        uint64_t firstBar = 1;  // number of the bar that starts at startTick
        uint64_t barTicks = 0;
        uint64_t beatTicks = 0;
        uint32_t beatsPerBar = 4;
    };
    uint32_t ticksPerQuarter_;
    std::vector<Segment> segments_;
};

// Ticks per bar of numerator/denominator, or 0 when that is not a whole number
// of ticks or a bar would hold less than one quarter.
uint64_t barTicksOf(uint32_t ticksPerQuarter, uint32_t numerator, uint32_t denominator);

}  // namespace zimblo::songc
