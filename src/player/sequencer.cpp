// The event sequencer: each step takes the song to the tick of its next pending
// event and writes every event due there into one EventStream for the Synth.
//
// Stream order: tracks 0..15; within a track the program lane, controller
// lanes 1..7, the pitch-bend lane, the note lane. A status byte is written only
// when it differs from the last one written in the same step. The program,
// controller and pitch-bend lanes emit at most one event per step (a second
// event at the same tick makes another step at that tick, with no frames in
// between); the note lane emits all of its events at the tick.

#include <cstring>

#include "player/player.h"

namespace zimblo::player {

namespace {

// Writes one step's messages with running status, always leaving room for the
// terminator. Once a message does not fit, the writer is full for the rest of
// the step and that event (and every later one) stays pending for the next
// step at the same tick.
class StreamWriter {
public:
    explicit StreamWriter(std::array<uint8_t, kEventBufferBytes>& buffer) : buffer_(buffer.data()) {}

    bool fits(uint8_t status, size_t dataBytes) {
        if (full_) return false;
        const size_t needed = (status == lastStatus_ ? 0 : 1) + dataBytes;
        if (used_ + needed + 1 > kEventBufferBytes) full_ = true;
        return !full_;
    }

    // Only after fits() said yes for the same message.
    void write(uint8_t status, uint8_t first) {
        writeStatus(status);
        buffer_[used_++] = first;
    }
    void write(uint8_t status, uint8_t first, uint8_t second) {
        write(status, first);
        buffer_[used_++] = second;
    }

    void terminate() { buffer_[used_++] = kStreamTerminator; }

private:
    void writeStatus(uint8_t status) {
        if (status == lastStatus_) return;
        buffer_[used_++] = status;
        lastStatus_ = status;
    }

    uint8_t* buffer_;
    size_t used_ = 0;
    uint32_t lastStatus_ = 0x100;  // no status written yet: matches no status byte
    bool full_ = false;
};

const uint8_t* valuePlane(const LaneCursor& cursor, const LaneRef& lane, uint32_t plane) {
    return cursor.position + size_t{plane} * lane.count;
}

// Moves past the event just emitted and schedules the next one. A delta of 0
// leaves nextTick at currentTick.
void advanceLane(LaneCursor& cursor, const LaneRef& lane, uint32_t currentTick) {
    ++cursor.index;
    ++cursor.position;
    if (cursor.index < lane.count) {
        const uint32_t delta = readDelta(cursor.position, lane.count);
        if (delta != 0) cursor.nextTick = currentTick + delta;
    }
}

bool due(const LaneCursor& cursor, const LaneRef& lane, uint32_t tick) {
    return cursor.index < lane.count && cursor.nextTick == tick;
}

void notePending(const LaneCursor& cursor, const LaneRef& lane, uint32_t& nextEventTick) {
    if (cursor.index < lane.count && cursor.nextTick < nextEventTick) nextEventTick = cursor.nextTick;
}

}  // namespace

void ticksToSamples(uint32_t laterTick, uint32_t earlierTick, uint32_t scaledSamplesPerQuarter,
                    uint32_t scaledTicksPerQuarter, uint32_t& accumulator, uint32_t& result) {
    if (scaledTicksPerQuarter == 0) {  // no time base: events follow one another at once
        result = 0;
        return;
    }
    const uint32_t gap = laterTick - earlierTick;
    const uint64_t product = uint64_t{gap} * scaledSamplesPerQuarter;
    uint64_t quotient = product / scaledTicksPerQuarter;
    const uint32_t remainder = static_cast<uint32_t>(product % scaledTicksPerQuarter);
    const uint32_t before = accumulator;
    accumulator = before + remainder;
    if (accumulator < before) ++quotient;  // the sum wrapped past 2^32 − 1
    result = quotient > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(quotient);
}

void Player::resetSequencer() {
    nextEventTick = kNoTick;
    currentTick = 0;
    tempoCursor = tempoMap;
    tempoIndex = 0;
    if (tempoCount > 0) {
        nextTempoTick = readDelta(tempoMap, tempoCount);
        nextEventTick = nextTempoTick;
    }
    for (int t = 0; t < kTrackCount; ++t) {
        if (tracks[t][kNoteLane].count == 0) continue;
        for (int l = 0; l < kLanesPerTrack; ++l) {
            const LaneRef& lane = tracks[t][l];
            LaneCursor& cursor = cursors[t][l];
            cursor.position = lane.planes;
            cursor.index = 0;
            cursor.value1 = 0;
            cursor.value2 = 0;
            if (lane.count != 0) {
                cursor.nextTick = readDelta(cursor.position, lane.count);
                if (cursor.nextTick < nextEventTick) nextEventTick = cursor.nextTick;
            }
        }
    }
    scaledSamplesPerQuarter = sampleRate * kDefaultScaledSamplesPerQuarterPerHz;
    numerator = 4;
    denominator = 4;
    thirdByte = 8;
    barCount = 0;
    beatInBar = 0;
    tickInBeat = 0;
    remainderAccumulator = 0;
    if (sampleRate == 0) return;

    synth.init(patchBank, sampleRate);
    // The Synth reads 22 bytes; a shorter block is handed over zero-padded so
    // that nothing beyond it is read.
    const uint8_t* globalParams = effectBlock;
    if (effectBlockSize < kGlobalParamBytes) {
        paddedEffectBlock.fill(0);
        if (effectBlockSize != 0) std::memcpy(paddedEffectBlock.data(), effectBlock, effectBlockSize);
        globalParams = paddedEffectBlock.data();
    }
    synth.setGlobalParams(globalParams);
    synth.singerState().setTexts(texts.data());
}

// A beat is always a quarter note: beats per bar = numerator · 4 / denominator.
// The divisions stand for the repeated subtractions of whole beats and bars.
// A zero ticks per quarter or a signature with no whole beat counts as 1, so
// the counters never divide by zero.
static void advanceMusicalPosition(Player& p, uint32_t ticks) {
    const uint32_t ticksPerBeat = p.ticksPerQuarter != 0 ? p.ticksPerQuarter : 1;
    p.tickInBeat += ticks;
    p.beatInBar += p.tickInBeat / ticksPerBeat;
    p.tickInBeat %= ticksPerBeat;
    const uint32_t beatsPerBar = p.denominator != 0 ? (p.numerator * 4) / p.denominator : 1;
    const uint32_t beats = beatsPerBar != 0 ? beatsPerBar : 1;
    p.barCount += p.beatInBar / beats;
    p.beatInBar %= beats;
}

void Player::step() {
    if (state != PlayState::Playing) return;

    advanceMusicalPosition(*this, nextEventTick - currentTick);
    currentTick = nextEventTick;
    nextEventTick = kNoTick;
    StreamWriter stream(eventBuffer);

    // At most one tempo entry per step.
    if (tempoIndex < tempoCount && nextTempoTick == currentTick) {
        const size_t n = tempoCount;
        const size_t i = tempoIndex;
        scaledSamplesPerQuarter = (sampleRate / 100) * readU32(tempoMap + 3 * n + 4 * i);
        numerator = tempoMap[7 * n + i];
        denominator = tempoMap[8 * n + i];
        thirdByte = tempoMap[9 * n + i];
        ++tempoIndex;
        if (tempoIndex < tempoCount) {
            const uint32_t delta = readDelta(tempoMap + tempoIndex, tempoCount);
            if (delta != 0) nextTempoTick = currentTick + delta;
        }
    }
    if (tempoIndex < tempoCount) nextEventTick = nextTempoTick;

    for (int t = 0; t < kTrackCount; ++t) {
        const TrackLanes& lanes = tracks[t];
        if (lanes[kNoteLane].count == 0) continue;
        auto& trackCursors = cursors[t];
        const auto channel = static_cast<uint8_t>(t);

        {
            const LaneRef& lane = lanes[kProgramLane];
            LaneCursor& c = trackCursors[kProgramLane];
            const auto status = static_cast<uint8_t>(kProgramStatus + channel);
            if (due(c, lane, currentTick) && stream.fits(status, 1)) {
                c.value1 = static_cast<uint8_t>(c.value1 + *valuePlane(c, lane, 3));
                stream.write(status, c.value1);
                advanceLane(c, lane, currentTick);
            }
            notePending(c, lane, nextEventTick);
        }
        for (int number = 1; number <= kControllerCount; ++number) {
            const LaneRef& lane = lanes[controllerLane(number)];
            LaneCursor& c = trackCursors[controllerLane(number)];
            const auto status = static_cast<uint8_t>(kControllerStatus + channel);
            if (due(c, lane, currentTick) && stream.fits(status, 2)) {
                c.value1 = static_cast<uint8_t>(c.value1 + *valuePlane(c, lane, 3));
                stream.write(status, static_cast<uint8_t>(number), c.value1);
                advanceLane(c, lane, currentTick);
            }
            notePending(c, lane, nextEventTick);
        }
        {
            const LaneRef& lane = lanes[kPitchBendLane];
            LaneCursor& c = trackCursors[kPitchBendLane];
            const auto status = static_cast<uint8_t>(kPitchBendStatus + channel);
            if (due(c, lane, currentTick) && stream.fits(status, 2)) {
                c.value1 = static_cast<uint8_t>(c.value1 + *valuePlane(c, lane, 3));
                c.value2 = static_cast<uint8_t>(c.value2 + *valuePlane(c, lane, 4));
                stream.write(status, c.value1, c.value2);
                advanceLane(c, lane, currentTick);
            }
            notePending(c, lane, nextEventTick);
        }
        {
            const LaneRef& lane = lanes[kNoteLane];
            LaneCursor& c = trackCursors[kNoteLane];
            const auto status = static_cast<uint8_t>(kNoteOnStatus + channel);
            while (due(c, lane, currentTick) && stream.fits(status, 2)) {
                c.value1 = static_cast<uint8_t>(c.value1 + *valuePlane(c, lane, 3));
                c.value2 = static_cast<uint8_t>(c.value2 + *valuePlane(c, lane, 4));
                stream.write(status, c.value1, c.value2);
                advanceLane(c, lane, currentTick);
            }
            notePending(c, lane, nextEventTick);
        }
    }

    stream.terminate();
    synth.processEvents(eventBuffer.data());
    if (nextEventTick == kNoTick) state = PlayState::Ended;
}

}  // namespace zimblo::player
