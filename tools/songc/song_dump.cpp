#include "song_dump.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "parameter_names.h"
#include "player/song_format.h"
#include "song_events.h"
#include "synth/patch.h"

namespace zimblo::songc {

namespace {

using player::readDelta;
using player::readU32;

std::string format(const char* pattern, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, value);
    return buffer;
}

std::string padded(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

std::string quoted(const char* text) {
    std::string out = "\"";
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Lane names as the listing shows them, in the format's lane order.
const char* const kLaneLabels[player::kLanesPerTrack] = {"notes", "program", "pitch bend", "cc1", "cc2",
                                                         "cc3",   "cc4",     "cc5",        "cc6", "cc7"};

// The order the player sends a track's events of one tick in: program,
// controllers 1..7, pitch bend, notes.
int sendRank(int lane) {
    if (lane == player::kProgramLane) return 0;
    if (lane == player::kPitchBendLane) return 8;
    if (lane == player::kNoteLane) return 9;
    return lane - player::kFirstControllerLane + 1;
}

struct DecodedEvent {
    uint64_t tick = 0;
    int lane = 0;
    uint8_t value1 = 0;
    uint8_t value2 = 0;
};

class Dumper {
public:
    Dumper(const uint8_t* data, size_t length, const std::string& name) : data_(data), length_(length), name_(name) {}

    std::string run() {
        out_ += "song " + name_ + ": " + std::to_string(length_) + " bytes\n";
        const uint32_t ticksPerQuarter = readU32(data_);
        out_ += "\nheader\n";
        out_ += "  ticks per quarter  " + std::to_string(ticksPerQuarter) + "\n";
        const uint32_t songLength = readU32(data_ + 4);
        position_ = 8;
        readClock(ticksPerQuarter);
        out_ += "  song length        " + std::to_string(songLength) + " ticks (the last event)" + timeOf(songLength) + "\n";
        out_ += "  length in seconds  " + format("%.3f", secondsAt(songLength)) + "\n";
        tempoMap();
        tracks();
        effectBlock();
        patchBank();
        textBlock();
        return out_;
    }

private:
    // The song's clock, read from the tempo map ahead of the listing. Each
    // entry sets the tempo from its tick; an entry that changes the time
    // signature also starts a new bar there (the compiler's bar grid).
    struct ClockEntry {
        uint64_t tick = 0;
        double secondsAtTick = 0.0;
        double secondsPerTick = 0.0;
        uint64_t gridTick = 0;   // where the current bar grid starts
        uint64_t barAtGrid = 1;  // the number of the bar that starts there
        uint64_t barTicks = 0;
        uint64_t beatTicks = 0;
        uint32_t numerator = 4, denominator = 4;
    };

    void readClock(uint32_t ticksPerQuarter) {
        const uint32_t n = readU32(data_ + position_);
        const uint8_t* map = data_ + position_ + 4;
        ClockEntry entry;
        entry.secondsPerTick = 0.5 / ticksPerQuarter;  // 120 per minute until the map says otherwise
        entry.barTicks = uint64_t{ticksPerQuarter} * 4;
        entry.beatTicks = ticksPerQuarter;
        clock_.push_back(entry);
        uint64_t tick = 0;
        for (uint32_t i = 0; i < n; ++i) {
            tick += readDelta(map + i, n);
            const ClockEntry& last = clock_.back();
            ClockEntry next = last;
            next.tick = tick;
            next.secondsAtTick = last.secondsAtTick + static_cast<double>(tick - last.tick) * last.secondsPerTick;
            next.secondsPerTick = readU32(map + 3 * size_t{n} + 4 * size_t{i}) / 1e6 / ticksPerQuarter;
            const uint32_t numerator = map[7 * n + i], denominator = map[8 * n + i];
            const uint64_t barTicks = barTicksOf(ticksPerQuarter, numerator, denominator);
            if ((numerator != last.numerator || denominator != last.denominator) && barTicks > 0) {
                next.barAtGrid = last.barAtGrid + (tick - last.gridTick + last.barTicks - 1) / last.barTicks;
                next.gridTick = tick;
                next.barTicks = barTicks;
                next.beatTicks = uint64_t{ticksPerQuarter} * 4 / denominator;
                next.numerator = numerator;
                next.denominator = denominator;
            }
            clock_.push_back(next);
        }
    }

    const ClockEntry& clockAt(uint64_t tick) const {
        size_t i = 0;
        while (i + 1 < clock_.size() && clock_[i + 1].tick <= tick) ++i;
        return clock_[i];
    }

    double secondsAt(uint64_t tick) const {
        const ClockEntry& c = clockAt(tick);
        return c.secondsAtTick + static_cast<double>(tick - c.tick) * c.secondsPerTick;
    }

    // "  @ 1:02.345 17:3" (bar 17, beat 3), or "17:3+40" 40 ticks after a beat.
    std::string timeOf(uint64_t tick) const {
        const ClockEntry& c = clockAt(tick);
        const uint64_t millis = static_cast<uint64_t>(std::llround(secondsAt(tick) * 1000.0));
        const uint64_t into = tick - c.gridTick;
        const uint64_t inBar = into % c.barTicks;
        char clock[48];
        std::snprintf(clock, sizeof clock, "  @ %llu:%02llu.%03llu ", static_cast<unsigned long long>(millis / 60000),
                      static_cast<unsigned long long>(millis / 1000 % 60), static_cast<unsigned long long>(millis % 1000));
        std::string text = clock + std::to_string(c.barAtGrid + into / c.barTicks) + ":" + std::to_string(1 + inBar / c.beatTicks);
        if (inBar % c.beatTicks != 0) text += "+" + std::to_string(inBar % c.beatTicks);
        return text;
    }

    std::vector<ClockEntry> clock_;

    uint32_t u32() {
        const uint32_t v = readU32(data_ + position_);
        position_ += 4;
        return v;
    }

    void tempoMap() {
        const uint32_t n = u32();
        const uint8_t* map = data_ + position_;
        out_ += "\ntempo map: " + std::to_string(n) + (n == 1 ? " entry" : " entries") +
                (n == 0 ? " (120 quarters per minute, 4/4 throughout)" : "") + "\n";
        uint64_t tick = 0;
        for (uint32_t i = 0; i < n; ++i) {
            tick += readDelta(map + i, n);
            const uint32_t micros = readU32(map + 3 * size_t{n} + 4 * size_t{i});
            out_ += "  tick " + padded(std::to_string(tick), 9) + std::to_string(micros) + " us per quarter (" +
                    format("%.3f", 60000000.0 / micros) + " per minute), " + std::to_string(map[7 * n + i]) + "/" +
                    std::to_string(map[8 * n + i]) + ", third byte " + std::to_string(map[9 * n + i]) + timeOf(tick) + "\n";
        }
        position_ += 10 * size_t{n};
    }

    void tracks() {
        out_ += "\ntracks\n";
        for (int t = 0; t < player::kTrackCount; ++t) {
            std::vector<DecodedEvent> events;
            std::string counts;
            for (int lane = 0; lane < player::kLanesPerTrack; ++lane) {
                const uint32_t count = u32();
                if (lane == player::kNoteLane && count == 0) break;
                counts += (lane == 0 ? "" : ", ") + std::string(kLaneLabels[lane]) + " " + std::to_string(count);
                decodeLane(lane, count, data_ + position_, events);
                position_ += (player::kDeltaPlanes + player::laneValuePlanes(lane)) * size_t{count};
            }
            if (counts.empty()) {
                out_ += "  track " + std::to_string(t) + ": empty\n";
                continue;
            }
            out_ += "  track " + std::to_string(t) + ": " + counts + "\n";
            std::stable_sort(events.begin(), events.end(), [](const DecodedEvent& a, const DecodedEvent& b) {
                return a.tick != b.tick ? a.tick < b.tick : sendRank(a.lane) < sendRank(b.lane);
            });
            for (const DecodedEvent& e : events)
                out_ += "    tick " + padded(std::to_string(e.tick), 9) + padded(describe(e), 34) + timeOf(e.tick) + "\n";
        }
    }

    static void decodeLane(int lane, uint32_t count, const uint8_t* planes, std::vector<DecodedEvent>& out) {
        uint64_t tick = 0;
        uint8_t value1 = 0;
        uint8_t value2 = 0;
        const size_t c = count;
        for (size_t i = 0; i < c; ++i) {
            tick += readDelta(planes + i, count);
            value1 = static_cast<uint8_t>(value1 + planes[3 * c + i]);
            if (player::laneValuePlanes(lane) == 2) value2 = static_cast<uint8_t>(value2 + planes[4 * c + i]);
            out.push_back(DecodedEvent{tick, lane, value1, value2});
        }
    }

    static std::string describe(const DecodedEvent& e) {
        if (e.lane == player::kNoteLane) {
            const std::string note = noteName(e.value1) + " (" + std::to_string(e.value1) + ")";
            if (e.value2 == 0) return "note off " + note;
            return "note on  " + padded(note, 10) + "velocity " + std::to_string(e.value2);
        }
        if (e.lane == player::kProgramLane) return "program  " + std::to_string(e.value1);
        if (e.lane == player::kPitchBendLane)
            return "bend     " + std::to_string(e.value1) + " " + std::to_string(e.value2) + " (" +
                   std::to_string((e.value2 & 0x7F) * 128 + (e.value1 & 0x7F)) + ")";
        return padded(kLaneLabels[e.lane], 9) + std::to_string(e.value1);
    }

    void effectBlock() {
        const uint32_t size = u32();
        const uint8_t* block = data_ + position_;
        out_ += "\neffect block: " + std::to_string(size) + " bytes\n";
        const auto roles = effectParameters();
        for (uint32_t i = 0; i < size; ++i) {
            const std::string label = "g" + std::to_string(i);
            if (i < roles.size())
                out_ += "  " + padded(label, 5) + padded(roles[i].fullName(), 22) + describeValue(roles[i], block[i]) + "\n";
            else
                out_ += "  " + padded(label, 5) + padded("(not read)", 22) + std::to_string(block[i]) + "\n";
        }
        if (size < roles.size()) out_ += "  (bytes g" + std::to_string(size) + " to g21 are missing and read as 0)\n";
        position_ += size;
    }

    void patchBank() {
        const uint32_t size = u32();
        const synth::PatchBank bank{data_ + position_, size};
        const uint32_t programs = synth::programCount(bank);
        out_ += "\npatch bank: " + std::to_string(size) + " bytes, " + std::to_string(programs) +
                (programs == 1 ? " program\n" : " programs\n");
        const auto parameters = patchParameters();
        for (uint32_t program = 0; program < programs; ++program) {
            const uint32_t offset = readU32(bank.data + 4 * size_t{program});
            const synth::Patch patch = synth::findPatch(bank, program);
            out_ += "  program " + std::to_string(program) + " (offset " + std::to_string(offset) + "): voice limit " +
                    std::to_string(patch.voiceLimit()) + ", " + std::to_string(patch.routeCount()) +
                    (patch.routeCount() == 1 ? " route\n" : " routes\n");
            // One line per section, sections in the order they first appear.
            std::vector<std::string_view> sections;
            for (const ParameterInfo& p : parameters)
                if (std::find(sections.begin(), sections.end(), p.section) == sections.end()) sections.push_back(p.section);
            for (std::string_view section : sections) {
                std::string line = "    " + padded(std::string(section), 16);
                bool first = true;
                for (const ParameterInfo& p : parameters) {
                    if (p.section != section) continue;
                    line += (first ? "" : ", ") + std::string(p.key) + " " + describeValue(p, patch.bytes[p.index]);
                    first = false;
                }
                out_ += line + "\n";
            }
            for (uint32_t r = 0; r < patch.routeCount(); ++r) {
                const synth::ModRoute route = patch.route(r);
                out_ += "    route " + std::to_string(r) + ": " + routeSourceName(route.source) + " -> " +
                        routeDestinationName(route.destination) + ", amount " + std::to_string(route.amount) + " (" +
                        format("%+.6f", (route.amount - 64) / 64.0) + ")\n";
            }
        }
        position_ += size;
    }

    void textBlock() {
        const uint32_t size = u32();
        if (size == 0 || size > player::kMaxTextBlockBytes) {
            out_ += "\ntext block: " + std::to_string(size) + " bytes (not read: every text is \" \")\n";
            return;
        }
        const uint8_t* block = data_ + position_;
        const uint32_t count = readU32(block);
        out_ += "\ntext block: " + std::to_string(size) + " bytes, " + std::to_string(count) +
                (count == 1 ? " text\n" : " texts\n");
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t offset = readU32(block + 4 + 4 * size_t{i});
            out_ += "  " + std::to_string(i) + ": " + quoted(reinterpret_cast<const char*>(block + offset)) + "\n";
        }
    }

    const uint8_t* data_;
    size_t length_;
    std::string name_;
    size_t position_ = 0;
    std::string out_;
};

}  // namespace

std::string noteName(int note) {
    static const char* const kNames[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    return std::string(kNames[note % 12]) + std::to_string(note / 12 - 1);
}

std::string dumpSong(const uint8_t* data, size_t length, const std::string& name) {
    const std::string problem = player::checkSong(data, length);
    if (!problem.empty()) throw InputError(name + ": " + problem);
    return Dumper(data, length, name).run();
}

}  // namespace zimblo::songc
