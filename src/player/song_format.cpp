#include "player/song_format.h"

#include <cstring>

#include "synth/patch.h"

namespace zimblo::player {

namespace {

std::string num(uint64_t value) { return std::to_string(value); }

std::string span(uint64_t size, uint64_t offset) {
    return num(size) + " bytes at offset " + num(offset);
}

const char* const kLaneNames[kLanesPerTrack] = {"note lane", "program lane", "pitch-bend lane",
                                                "controller lane 1", "controller lane 2",
                                                "controller lane 3", "controller lane 4",
                                                "controller lane 5", "controller lane 6",
                                                "controller lane 7"};

const char* const kCountNames[kLanesPerTrack] = {"note count", "program count", "pitch-bend count",
                                                 "controller lane 1 count", "controller lane 2 count",
                                                 "controller lane 3 count", "controller lane 4 count",
                                                 "controller lane 5 count", "controller lane 6 count",
                                                 "controller lane 7 count"};

// Walks the song in the loader's order. Every position and size is 64-bit, so
// a count near 2^32 times a lane width cannot wrap past the length check.
class SongChecker {
public:
    SongChecker(const uint8_t* data, size_t length) : data_(data), length_(length) {}

    std::string run() {
        if (data_ == nullptr) return "no song data";
        if (!checkHeader() || !checkTracks() || !checkEffectBlock() || !checkPatchBank() ||
            !checkTextBlock())
            return error_;
        return {};
    }

private:
    // Claims `size` bytes at the read position for `what`; false (with the
    // message set) when they run past the end of the data.
    bool claim(uint64_t size, const std::string& what) {
        if (size > length_ || position_ > length_ - size) {
            error_ = what + " (" + span(size, position_) + ") runs past the end of the data (" +
                     num(length_) + " bytes)";
            return false;
        }
        return true;
    }

    bool readCount(const std::string& what, uint32_t& value) {
        if (!claim(4, what)) return false;
        value = readU32(data_ + position_);
        position_ += 4;
        return true;
    }

    bool fail(const std::string& message) {
        error_ = message;
        return false;
    }

    // Ticks are the running sums of the deltas; kNoTick itself means "nothing
    // pending", so every event must lie below it.
    bool checkTicks(const uint8_t* planes, uint32_t count, const std::string& what) {
        uint64_t tick = 0;
        for (uint32_t i = 0; i < count; ++i) {
            tick += readDelta(planes + i, count);
            if (tick >= kNoTick)
                return fail(what + " event " + num(i) + " (offset " + num(planes + i - data_) +
                            ") lies at tick " + num(tick) + "; ticks must stay below " +
                            num(kNoTick));
        }
        return true;
    }

    bool checkHeader() {
        if (!claim(kHeaderBytes, "header")) return false;
        const uint32_t ticksPerQuarter = readU32(data_);
        if (ticksPerQuarter == 0 || ticksPerQuarter > kMaxTicksPerQuarter)
            return fail("ticks per quarter " + num(ticksPerQuarter) +
                        " (offset 0) is out of range 1.." + num(kMaxTicksPerQuarter));
        const uint32_t tempoCount = readU32(data_ + 8);
        position_ = kHeaderBytes;
        if (!claim(uint64_t{kTempoEntryBytes} * tempoCount,
                   "tempo map of " + num(tempoCount) + " entries"))
            return false;
        const uint8_t* map = data_ + position_;
        const size_t n = tempoCount;
        for (size_t i = 0; i < n; ++i) {
            if (map[8 * n + i] == 0)
                return fail("tempo entry " + num(i) + " has time-signature denominator 0 (offset " +
                            num(position_ + 8 * n + i) + ")");
        }
        if (!checkTicks(map, tempoCount, "tempo map")) return false;
        position_ += kTempoEntryBytes * n;
        return true;
    }

    bool checkTracks() {
        for (int t = 0; t < kTrackCount; ++t) {
            const std::string track = "track " + num(t) + " ";
            for (int lane = 0; lane < kLanesPerTrack; ++lane) {
                uint32_t count = 0;
                if (!readCount(track + kCountNames[lane], count)) return false;
                if (lane == kNoteLane && count == 0) break;  // the record is only its count
                const uint64_t bytes = uint64_t{kDeltaPlanes + laneValuePlanes(lane)} * count;
                if (!claim(bytes, track + kLaneNames[lane])) return false;
                const uint8_t* planes = data_ + position_;
                if (!checkTicks(planes, count, track + kLaneNames[lane])) return false;
                if (lane == kNoteLane && !checkNoteNumbers(planes, count, track)) return false;
                position_ += bytes;
            }
        }
        return true;
    }

    bool checkNoteNumbers(const uint8_t* planes, uint32_t count, const std::string& track) {
        const uint8_t* notePlane = planes + size_t{kDeltaPlanes} * count;
        uint8_t note = 0;
        for (uint32_t i = 0; i < count; ++i) {
            note = static_cast<uint8_t>(note + notePlane[i]);
            if (note >= 128)
                return fail(track + "note " + num(i) + " (offset " + num(notePlane + i - data_) +
                            ") has note number " + num(note) + "; note numbers must be below 128");
        }
        return true;
    }

    bool checkEffectBlock() {
        uint32_t size = 0;
        const uint64_t sizeOffset = position_;
        if (!readCount("effect block size", size)) return false;
        if (size > kMaxEffectBlockBytes)
            return fail("effect block size " + num(size) + " (offset " + num(sizeOffset) +
                        ") exceeds " + num(kMaxEffectBlockBytes));
        if (!claim(size, "effect block")) return false;
        position_ += size;
        return true;
    }

    bool checkPatchBank() {
        uint32_t size = 0;
        const uint64_t sizeOffset = position_;
        if (!readCount("patch bank size", size)) return false;
        if (size > kMaxPatchBankBytes)
            return fail("patch bank size " + num(size) + " (offset " + num(sizeOffset) +
                        ") exceeds " + num(kMaxPatchBankBytes));
        if (!claim(size, "patch bank")) return false;
        const uint64_t bankOffset = position_;
        position_ += size;
        if (size == 0) return true;  // no programs: every program is the all-zero patch

        const uint8_t* bank = data_ + bankOffset;
        const std::string bankText = "patch bank (" + span(size, bankOffset) + ")";
        if (size < 4) return fail(bankText + " is too short for its offset table");
        const uint32_t tableEnd = readU32(bank);
        if (tableEnd < 4 || tableEnd % 4 != 0)
            return fail("patch bank offset table end " + num(tableEnd) + " (offset " +
                        num(bankOffset) + ") is not a positive multiple of 4");
        if (tableEnd > size)
            return fail("patch bank offset table end " + num(tableEnd) + " (offset " +
                        num(bankOffset) + ") lies outside the " + bankText);
        for (uint32_t program = 0; program < tableEnd / 4; ++program) {
            const uint64_t entryOffset = bankOffset + 4 * uint64_t{program};
            const uint32_t patchOffset = readU32(bank + 4 * size_t{program});
            const std::string patch = "patch " + num(program);
            if (patchOffset < tableEnd)
                return fail(patch + " offset " + num(patchOffset) + " (offset " + num(entryOffset) +
                            ") points into the offset table (" + num(tableEnd) + " bytes)");
            if (uint64_t{patchOffset} + synth::kPatchHeaderBytes > size)
                return fail(patch + " (" + span(synth::kPatchHeaderBytes, bankOffset + patchOffset) +
                            ") runs past the end of the " + bankText);
            const uint32_t routes = bank[patchOffset + synth::kRouteCountOffset];
            const uint64_t patchBytes = synth::kPatchHeaderBytes + synth::kRouteBytes * routes;
            if (uint64_t{patchOffset} + patchBytes > size)
                return fail(patch + " with " + num(routes) + " routes (" +
                            span(patchBytes, bankOffset + patchOffset) + ") runs past the end of the " +
                            bankText);
        }
        return true;
    }

    bool checkTextBlock() {
        uint32_t size = 0;
        if (!readCount("text block size", size)) return false;
        // Even a block too large to be read must be there: its absence means
        // the data was cut short.
        if (!claim(size, "text block")) return false;
        const uint64_t blockOffset = position_;
        if (size == 0 || size > kMaxTextBlockBytes) return true;

        const uint8_t* block = data_ + blockOffset;
        const std::string blockText = "text block (" + span(size, blockOffset) + ")";
        if (size < 4) return fail(blockText + " is too short for its text count");
        const uint32_t textCount = readU32(block);
        if (textCount > kTextTableSize)
            return fail("text count " + num(textCount) + " (offset " + num(blockOffset) +
                        ") exceeds " + num(kTextTableSize));
        const uint64_t tableBytes = 4 + 4 * uint64_t{textCount};
        if (tableBytes > size)
            return fail("text offset table of " + num(textCount) + " entries (" +
                        span(4 * uint64_t{textCount}, blockOffset + 4) +
                        ") runs past the end of the " + blockText);
        for (uint32_t i = 0; i < textCount; ++i) {
            const uint64_t entryOffset = blockOffset + 4 + 4 * uint64_t{i};
            const uint32_t textOffset = readU32(block + 4 + 4 * size_t{i});
            if (textOffset >= size)
                return fail("text " + num(i) + " offset " + num(textOffset) + " (offset " +
                            num(entryOffset) + ") lies outside the " + blockText);
            if (std::memchr(block + textOffset, 0, size - textOffset) == nullptr)
                return fail("text " + num(i) + " (at offset " + num(blockOffset + textOffset) +
                            ") has no NUL terminator inside the " + blockText);
        }
        return true;
    }

    const uint8_t* data_;
    uint64_t length_;
    uint64_t position_ = 0;
    std::string error_;
};

}  // namespace

std::string checkSong(const uint8_t* data, size_t length) { return SongChecker(data, length).run(); }

}  // namespace zimblo::player
