#include "player/song_writer.h"

#include <algorithm>
#include <stdexcept>

namespace zimblo::player {

namespace {

const char* const kLaneNames[kLanesPerTrack] = {"note", "program", "pitch-bend", "controller 1",
                                                "controller 2", "controller 3", "controller 4",
                                                "controller 5", "controller 6", "controller 7"};

void putU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void putU32At(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void putBlock(std::vector<uint8_t>& out, const std::vector<uint8_t>& block) {
    putU32(out, static_cast<uint32_t>(block.size()));
    out.insert(out.end(), block.begin(), block.end());
}

// Deltas of events sorted by tick; throws when a gap does not fit 24 bits.
template <typename T>
std::vector<uint32_t> deltasOf(const std::vector<T>& events, const std::string& what) {
    std::vector<uint32_t> deltas;
    deltas.reserve(events.size());
    uint32_t previous = 0;
    for (const T& e : events) {
        const uint32_t delta = e.tick - previous;
        if (delta > kMaxDelta)
            throw std::invalid_argument(what + ": the gap of " + std::to_string(delta) +
                                        " ticks before tick " + std::to_string(e.tick) +
                                        " exceeds " + std::to_string(kMaxDelta));
        deltas.push_back(delta);
        previous = e.tick;
    }
    return deltas;
}

void putDeltaPlanes(std::vector<uint8_t>& out, const std::vector<uint32_t>& deltas) {
    for (int shift = 0; shift < 24; shift += 8)
        for (uint32_t d : deltas) out.push_back(static_cast<uint8_t>(d >> shift));
}

void checkTrack(int track) {
    if (track < 0 || track >= kTrackCount)
        throw std::out_of_range("track " + std::to_string(track) + " is outside 0..15");
}

}  // namespace

std::vector<uint8_t> buildPatchBank(const std::vector<PatchDescription>& patches) {
    std::vector<uint8_t> bank;
    const uint32_t tableBytes = 4 * static_cast<uint32_t>(patches.size());
    bank.resize(tableBytes);
    for (size_t program = 0; program < patches.size(); ++program) {
        const PatchDescription& patch = patches[program];
        if (patch.routes.size() > 255)
            throw std::invalid_argument("patch " + std::to_string(program) + " has " +
                                        std::to_string(patch.routes.size()) +
                                        " routes; a patch holds at most 255");
        putU32At(bank, 4 * program, static_cast<uint32_t>(bank.size()));
        bank.insert(bank.end(), patch.voice.begin(), patch.voice.end());
        bank.insert(bank.end(), patch.channel.begin(), patch.channel.end());
        bank.push_back(patch.voiceLimit);
        bank.push_back(static_cast<uint8_t>(patch.routes.size()));
        for (const synth::ModRoute& route : patch.routes) {
            bank.push_back(route.source);
            bank.push_back(route.amount);
            bank.push_back(route.destination);
        }
    }
    return bank;
}

void SongWriter::setTicksPerQuarter(uint32_t ticks) { ticksPerQuarter_ = ticks; }

void SongWriter::addTempo(uint32_t tick, uint32_t microsecondsPerQuarter, uint8_t numerator,
                          uint8_t denominator, uint8_t thirdByte) {
    tempoMap_.push_back(TempoEntry{tick, microsecondsPerQuarter, numerator, denominator, thirdByte});
}

void SongWriter::add(int track, int lane, Event event) {
    checkTrack(track);
    lanes_[track][lane].push_back(event);
}

void SongWriter::addNoteOn(int track, uint32_t tick, uint8_t note, uint8_t velocity) {
    add(track, kNoteLane, Event{tick, note, velocity});
}

void SongWriter::addNoteOff(int track, uint32_t tick, uint8_t note) {
    add(track, kNoteLane, Event{tick, note, 0});
}

void SongWriter::addProgram(int track, uint32_t tick, uint8_t program) {
    add(track, kProgramLane, Event{tick, program, 0});
}

void SongWriter::addPitchBend(int track, uint32_t tick, uint8_t first, uint8_t second) {
    add(track, kPitchBendLane, Event{tick, first, second});
}

void SongWriter::addController(int track, int number, uint32_t tick, uint8_t value) {
    if (number < 1 || number > kControllerCount)
        throw std::out_of_range("controller lane " + std::to_string(number) + " is outside 1..7");
    add(track, controllerLane(number), Event{tick, value, 0});
}

void SongWriter::setEffectBlock(std::vector<uint8_t> bytes) { effectBlock_ = std::move(bytes); }

void SongWriter::addPatch(PatchDescription patch) { patches_.push_back(std::move(patch)); }

void SongWriter::setPatchBankBytes(std::vector<uint8_t> bank) {
    rawPatchBank_ = std::move(bank);
    useRawPatchBank_ = true;
}

void SongWriter::addText(std::string text) {
    if (text.find('\0') != std::string::npos)
        throw std::invalid_argument("text " + std::to_string(texts_.size()) + " contains a NUL byte");
    texts_.push_back(std::move(text));
}

std::vector<uint8_t> SongWriter::build() const {
    std::vector<uint8_t> out;
    uint32_t lastTick = 0;

    std::vector<TempoEntry> tempo = tempoMap_;
    std::stable_sort(tempo.begin(), tempo.end(),
                     [](const TempoEntry& a, const TempoEntry& b) { return a.tick < b.tick; });
    for (const TempoEntry& e : tempo) lastTick = std::max(lastTick, e.tick);

    putU32(out, ticksPerQuarter_);
    const size_t lengthOffset = out.size();
    putU32(out, 0);  // song length, filled in below
    putU32(out, static_cast<uint32_t>(tempo.size()));
    putDeltaPlanes(out, deltasOf(tempo, "tempo map"));
    for (const TempoEntry& e : tempo) putU32(out, e.microsecondsPerQuarter);
    for (const TempoEntry& e : tempo) out.push_back(e.numerator);
    for (const TempoEntry& e : tempo) out.push_back(e.denominator);
    for (const TempoEntry& e : tempo) out.push_back(e.thirdByte);

    for (int t = 0; t < kTrackCount; ++t) {
        if (lanes_[t][kNoteLane].empty()) {
            for (int l = 1; l < kLanesPerTrack; ++l)
                if (!lanes_[t][l].empty())
                    throw std::invalid_argument(
                        "track " + std::to_string(t) + " has " + kLaneNames[l] +
                        " events but no notes; a track without notes carries no other lane");
            putU32(out, 0);
            continue;
        }
        for (int l = 0; l < kLanesPerTrack; ++l) {
            std::vector<Event> events = lanes_[t][l];
            std::stable_sort(events.begin(), events.end(),
                             [](const Event& a, const Event& b) { return a.tick < b.tick; });
            if (!events.empty()) lastTick = std::max(lastTick, events.back().tick);
            putU32(out, static_cast<uint32_t>(events.size()));
            putDeltaPlanes(out, deltasOf(events, "track " + std::to_string(t) + " " + kLaneNames[l] + " lane"));
            uint8_t running = 0;
            for (const Event& e : events) {
                out.push_back(static_cast<uint8_t>(e.value1 - running));
                running = e.value1;
            }
            if (laneValuePlanes(l) == 2) {
                running = 0;
                for (const Event& e : events) {
                    out.push_back(static_cast<uint8_t>(e.value2 - running));
                    running = e.value2;
                }
            }
        }
    }
    putU32At(out, lengthOffset, lastTick);

    putBlock(out, effectBlock_);
    putBlock(out, useRawPatchBank_ ? rawPatchBank_ : buildPatchBank(patches_));

    std::vector<uint8_t> textBlock;
    if (!texts_.empty()) {
        putU32(textBlock, static_cast<uint32_t>(texts_.size()));
        size_t offset = 4 + 4 * texts_.size();
        for (const std::string& text : texts_) {
            putU32(textBlock, static_cast<uint32_t>(offset));
            offset += text.size() + 1;
        }
        for (const std::string& text : texts_) {
            textBlock.insert(textBlock.end(), text.begin(), text.end());
            textBlock.push_back(0);
        }
    }
    putBlock(out, textBlock);
    return out;
}

}  // namespace zimblo::player
