#include "song_events.h"

namespace zimblo::songc {

std::string SourcePlace::text() const {
    std::string t = file;
    if (line > 0) {
        t += ":" + std::to_string(line);
        if (column > 0) t += ":" + std::to_string(column);
    }
    return t;
}

std::string atOffset(const std::string& file, uint64_t offset) {
    return file + ": byte " + std::to_string(offset);
}

uint64_t barTicksOf(uint32_t ticksPerQuarter, uint32_t numerator, uint32_t denominator) {
    if (numerator == 0 || denominator == 0 || uint64_t{numerator} * 4 < denominator) return 0;
    const uint64_t wholeTicks = uint64_t{ticksPerQuarter} * 4 * numerator;
    if (wholeTicks % denominator != 0) return 0;
    if ((uint64_t{ticksPerQuarter} * 4) % denominator != 0) return 0;  // beats must be whole ticks too
    return wholeTicks / denominator;
}

MeterMap::MeterMap(uint32_t ticksPerQuarter, const std::vector<TempoEntry>& tempo)
    : ticksPerQuarter_(ticksPerQuarter) {
    Segment first;
    first.barTicks = uint64_t{ticksPerQuarter} * 4;
    first.beatTicks = ticksPerQuarter;
    segments_.push_back(first);
    uint32_t numerator = 4;
    uint32_t denominator = 4;
    for (const TempoEntry& e : tempo) {
        if (e.numerator == numerator && e.denominator == denominator) continue;
        numerator = e.numerator;
        denominator = e.denominator;
        Segment s;
        s.barTicks = barTicksOf(ticksPerQuarter, numerator, denominator);
        s.beatTicks = uint64_t{ticksPerQuarter} * 4 / denominator;
        s.beatsPerBar = numerator;
        s.startTick = e.tick;
        Segment& previous = segments_.back();
        // A change inside a bar cuts that bar short; the new meter starts the next bar number.
        const uint64_t elapsed = e.tick - previous.startTick;
        const uint64_t bars = (elapsed + previous.barTicks - 1) / previous.barTicks;
        s.firstBar = previous.firstBar + bars;
        if (e.tick == previous.startTick) {
            s.firstBar = previous.firstBar;
            segments_.pop_back();
        }
        segments_.push_back(s);
    }
}

uint64_t MeterMap::tickOf(uint64_t bar, uint64_t beat, const SourcePlace& place) const {
    if (bar == 0) throw InputError(place, "bars are counted from 1");
    const Segment* segment = &segments_.front();
    for (const Segment& s : segments_)
        if (s.firstBar <= bar) segment = &s;
    if (beat == 0 || beat > segment->beatsPerBar)
        throw InputError(place, "beat " + std::to_string(beat) + " lies outside bar " +
                                    std::to_string(bar) + ", which has " +
                                    std::to_string(segment->beatsPerBar) + " beats");
    return segment->startTick + (bar - segment->firstBar) * segment->barTicks +
           (beat - 1) * segment->beatTicks;
}

bool MeterMap::isBarLine(uint64_t tick) const {
    const Segment* segment = &segments_.front();
    for (const Segment& s : segments_)
        if (s.startTick <= tick) segment = &s;
    return (tick - segment->startTick) % segment->barTicks == 0;
}

}  // namespace zimblo::songc
