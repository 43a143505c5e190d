// Standard MIDI Files written byte by byte for the tests: a track is a list
// of (delta pulses, message bytes); the file gets its header, the tracks'
// chunks and each track's end-of-track event.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace zimblo::songc::test {

struct MidiTrackBytes {
    std::vector<uint8_t> data;

    MidiTrackBytes& event(uint32_t delta, std::initializer_list<uint8_t> message) {
        variableLength(delta);
        data.insert(data.end(), message.begin(), message.end());
        return *this;
    }
    MidiTrackBytes& tempo(uint32_t delta, uint32_t microsecondsPerQuarter) {
        return event(delta, {0xFF, 0x51, 0x03, static_cast<uint8_t>(microsecondsPerQuarter >> 16),
                             static_cast<uint8_t>(microsecondsPerQuarter >> 8), static_cast<uint8_t>(microsecondsPerQuarter)});
    }
    MidiTrackBytes& on(uint32_t delta, int channel, int note, int velocity) {
        return event(delta, {static_cast<uint8_t>(0x90 | channel), static_cast<uint8_t>(note), static_cast<uint8_t>(velocity)});
    }
    MidiTrackBytes& off(uint32_t delta, int channel, int note) {
        return event(delta, {static_cast<uint8_t>(0x80 | channel), static_cast<uint8_t>(note), 0});
    }
    MidiTrackBytes& cc(uint32_t delta, int channel, int number, int value) {
        return event(delta, {static_cast<uint8_t>(0xB0 | channel), static_cast<uint8_t>(number), static_cast<uint8_t>(value)});
    }
    MidiTrackBytes& program(uint32_t delta, int channel, int number) {
        return event(delta, {static_cast<uint8_t>(0xC0 | channel), static_cast<uint8_t>(number)});
    }
    // The end-of-track event `delta` pulses after the last event.
    std::vector<uint8_t> chunk(uint32_t delta = 0) const {
        MidiTrackBytes ended = *this;
        ended.event(delta, {0xFF, 0x2F, 0x00});
        std::vector<uint8_t> out = {'M', 'T', 'r', 'k'};
        appendBigEndian(out, static_cast<uint32_t>(ended.data.size()), 4);
        out.insert(out.end(), ended.data.begin(), ended.data.end());
        return out;
    }

    static void appendBigEndian(std::vector<uint8_t>& out, uint32_t value, int bytes) {
        for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }

private:
    void variableLength(uint32_t value) {
        uint8_t groups[5];
        int n = 0;
        do {
            groups[n++] = value & 0x7F;
            value >>= 7;
        } while (value != 0);
        while (n > 0) {
            --n;
            data.push_back(static_cast<uint8_t>(n > 0 ? groups[n] | 0x80 : groups[n]));
        }
    }
};

inline std::vector<uint8_t> midiFile(int type, int division, const std::vector<std::vector<uint8_t>>& chunks) {
    std::vector<uint8_t> out = {'M', 'T', 'h', 'd', 0, 0, 0, 6};
    MidiTrackBytes::appendBigEndian(out, static_cast<uint32_t>(type), 2);
    MidiTrackBytes::appendBigEndian(out, static_cast<uint32_t>(chunks.size()), 2);
    MidiTrackBytes::appendBigEndian(out, static_cast<uint32_t>(division), 2);
    for (const std::vector<uint8_t>& c : chunks) out.insert(out.end(), c.begin(), c.end());
    return out;
}

}  // namespace zimblo::songc::test
