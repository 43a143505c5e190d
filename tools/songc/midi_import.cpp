#include "midi_import.h"

#include "general_midi.h"

// GLib first: the MIDI library's header includes it inside extern "C".
#include <glib.h>
#include <smf.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

namespace zimblo::songc {

namespace {

constexpr uint8_t kNoteOff = 0x80;
constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kControlChange = 0xB0;
constexpr uint8_t kProgramChange = 0xC0;
constexpr uint8_t kPitchBend = 0xE0;
constexpr uint8_t kPortPrefix = 0x21;
constexpr size_t kChunkHeaderBytes = 8;
constexpr size_t kFileHeaderBytes = 14;  // "MThd", length 6, format, tracks, division

uint32_t bigEndian32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
uint32_t bigEndian16(const uint8_t* p) { return uint32_t{p[0]} << 8 | uint32_t{p[1]}; }

// The library reports its complaints through the GLib log; while it reads,
// they are gathered here instead of going to the terminal.
std::string* gLibraryMessages = nullptr;

void collectLibraryMessage(const gchar*, GLogLevelFlags level, const gchar* message, gpointer) {
    if (gLibraryMessages == nullptr) return;
    if ((level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL)) == 0) return;
    if (!gLibraryMessages->empty()) *gLibraryMessages += "; ";
    *gLibraryMessages += message;
}

struct SmfDeleter {
    void operator()(smf_t* smf) const { smf_delete(smf); }
};

std::vector<uint8_t> readFile(const MidiImportSettings& settings) {
    std::ifstream in(settings.path, std::ios::binary);
    if (!in) throw IoError(settings.displayName + ": cannot open the MIDI file");
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw IoError(settings.displayName + ": cannot read the MIDI file");
    return bytes;
}

uint64_t rescale(uint64_t pulses, uint32_t ticksPerQuarter, uint32_t ppqn) {
    return (2 * pulses * ticksPerQuarter + ppqn) / (2 * uint64_t{ppqn});
}

}  // namespace

MidiImportSettings defaultMidiSettings() {
    MidiImportSettings s;
    for (int c = 0; c < 16; ++c) s.channelTrack[c] = c;
    for (int n = 1; n <= 7; ++n) s.controllerLane[n] = n;
    return s;
}

// Walks one track chunk's events strictly, so that only well-formed tracks reach the MIDI
// library (which aborts on some malformed ones instead of reporting them): delta times and
// lengths of at most 4 bytes inside the chunk, channel messages with data bytes below 128,
// running status only after a channel message (sysex and meta events cancel it), no sysex
// escapes or system messages, and the end-of-track event as the chunk's last event.
void checkTrackEvents(const uint8_t* data, uint32_t length, uint64_t chunkOffset, uint32_t track,
                      const std::string& name) {
    uint32_t pos = 0;
    auto fail = [&](uint32_t at, const std::string& what) {
        throw InputError(atOffset(name, chunkOffset + kChunkHeaderBytes + at) + ": track chunk " +
                         std::to_string(track) + ": " + what);
    };
    auto variableLength = [&](const char* what) {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            if (pos >= length) fail(pos, std::string("truncated inside a ") + what);
            const uint8_t b = data[pos++];
            value = (value << 7) | (b & 0x7Fu);
            if ((b & 0x80u) == 0) return value;
        }
        fail(pos, std::string("a ") + what + " longer than 4 bytes");
        return value;
    };
    uint8_t runningStatus = 0;
    while (pos < length) {
        variableLength("delta time");
        if (pos >= length) fail(pos, "the track ends after a delta time");
        const uint32_t eventStart = pos;
        uint8_t status = data[pos];
        if (status < 0x80) {
            if (runningStatus == 0) fail(pos, "a data byte where no running status is in effect");
            status = runningStatus;
        } else {
            ++pos;
        }
        if (status < 0xF0) {
            const int dataBytes = (status & 0xE0) == 0xC0 ? 1 : 2;  // program change, channel pressure
            for (int k = 0; k < dataBytes; ++k) {
                if (pos >= length) fail(pos, "truncated inside a channel message");
                if (data[pos] >= 0x80) fail(pos, "a channel message's data byte is 128 or more");
                ++pos;
            }
            runningStatus = status;
        } else if (status == 0xFF) {
            if (pos >= length) fail(pos, "truncated inside a meta event");
            const uint8_t type = data[pos++];
            const uint32_t size = variableLength("meta event length");
            if (size > length - pos) fail(pos, "a meta event runs past the end of its chunk");
            pos += size;
            runningStatus = 0;
            if (type == 0x2F) {
                if (size != 0) fail(eventStart, "the end-of-track event carries data");
                if (pos != length) fail(pos, "events follow the end-of-track event");
                return;
            }
        } else if (status == 0xF0) {
            const uint32_t size = variableLength("sysex length");
            if (size > length - pos) fail(pos, "a sysex event runs past the end of its chunk");
            pos += size;
            runningStatus = 0;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", status);
            fail(eventStart, std::string("system event ") + hex + " is not supported in a MIDI file track");
        }
    }
    fail(length, "the track ends without its end-of-track event");
}

void checkMidiChunks(const std::vector<uint8_t>& bytes, const std::string& name) {
    const size_t size = bytes.size();
    if (size < kFileHeaderBytes)
        throw InputError(atOffset(name, size) + ": truncated: a MIDI file starts with a 14-byte header, the file has " +
                         std::to_string(size) + " bytes");
    if (bytes[0] != 'M' || bytes[1] != 'T' || bytes[2] != 'h' || bytes[3] != 'd')
        throw InputError(atOffset(name, 0) + ": not a Standard MIDI File (no 'MThd' header)");
    const uint32_t headerLength = bigEndian32(&bytes[4]);
    if (headerLength < 6) throw InputError(atOffset(name, 4) + ": header length " + std::to_string(headerLength) + " is below 6");
    const uint32_t format = bigEndian16(&bytes[8]);
    const uint32_t tracks = bigEndian16(&bytes[10]);
    const uint32_t division = bigEndian16(&bytes[12]);
    if (format > 1)
        throw InputError(atOffset(name, 8) + ": MIDI file type " + std::to_string(format) + " is not supported (types 0 and 1 are)");
    if ((division & 0x8000) != 0)
        throw InputError(atOffset(name, 12) + ": time-code division is not supported; the file must count ticks per quarter");
    if (division == 0) throw InputError(atOffset(name, 12) + ": division 0 ticks per quarter");
    uint64_t position = kChunkHeaderBytes + uint64_t{headerLength};
    if (position > size)
        throw InputError(atOffset(name, size) + ": truncated inside the header chunk (" + std::to_string(headerLength) +
                         " bytes declared)");
    uint32_t trackChunks = 0;
    while (trackChunks < tracks) {
        if (position + kChunkHeaderBytes > size)
            throw InputError(atOffset(name, position) + ": truncated: the header announces " + std::to_string(tracks) +
                             " tracks, the file ends after " + std::to_string(trackChunks));
        const uint8_t* chunk = &bytes[position];
        const uint32_t length = bigEndian32(chunk + 4);
        const bool isTrack = chunk[0] == 'M' && chunk[1] == 'T' && chunk[2] == 'r' && chunk[3] == 'k';
        if (position + kChunkHeaderBytes + length > size)
            throw InputError(atOffset(name, position) + ": truncated: " + (isTrack ? "track chunk " + std::to_string(trackChunks) : std::string("a chunk")) +
                             " declares " + std::to_string(length) + " bytes, only " +
                             std::to_string(size - position - kChunkHeaderBytes) + " remain");
        if (isTrack) checkTrackEvents(chunk + kChunkHeaderBytes, length, position, ++trackChunks, name);
        position += kChunkHeaderBytes + length;
    }
}

MidiImport importMidi(const MidiImportSettings& settings) {
    const std::vector<uint8_t> bytes = settings.bytes.empty() ? readFile(settings) : settings.bytes;
    const std::string& name = settings.displayName;
    checkMidiChunks(bytes, name);

    std::string libraryMessages;
    gLibraryMessages = &libraryMessages;
    const GLogFunc previous = g_log_set_default_handler(collectLibraryMessage, nullptr);
    std::unique_ptr<smf_t, SmfDeleter> smf(smf_load_from_memory(bytes.data(), static_cast<int>(bytes.size())));
    g_log_set_default_handler(previous, nullptr);
    gLibraryMessages = nullptr;
    // The library cuts a malformed track short and complains; either way the
    // file is refused rather than half imported.
    if (!smf || !libraryMessages.empty())
        throw InputError(name + ": the MIDI file is malformed" +
                         (libraryMessages.empty() ? std::string() : ": " + libraryMessages));
    const uint32_t ppqn = static_cast<uint32_t>(smf->ppqn);

    MidiImport result;
    auto tickOf = [&](uint64_t pulses) { return settings.offsetTicks + rescale(pulses, settings.ticksPerQuarter, ppqn); };
    std::vector<MidiChannelEvent> channelEvents;
    uint64_t sysex = 0;
    uint64_t endPulses = 0;
    std::set<uint8_t> ports;
    for (smf_event_t* event = smf_get_next_event(smf.get()); event != nullptr; event = smf_get_next_event(smf.get())) {
        endPulses = std::max<uint64_t>(endPulses, static_cast<uint64_t>(event->time_pulses));
        if (smf_event_is_sysex(event)) ++sysex;
        // A port prefix (meta event 0x21) puts a track's channels on another
        // set of 16; the song has one set, so all ports share it.
        if (event->midi_buffer_length >= 4 && event->midi_buffer[0] == 0xFF && event->midi_buffer[1] == kPortPrefix)
            ports.insert(event->midi_buffer[3]);
        if (event->midi_buffer_length < 1 || smf_event_is_metadata(event) || smf_event_is_sysex(event)) continue;
        const uint8_t status = event->midi_buffer[0];
        if (settings.generalMidi) {
            if (status < 0xF0 && event->midi_buffer_length >= ((status & 0xE0) == 0xC0 ? 2 : 3))
                channelEvents.push_back(MidiChannelEvent{static_cast<uint64_t>(event->time_pulses), status,
                                                         static_cast<uint8_t>(event->midi_buffer[1] & 0x7F),
                                                         static_cast<uint8_t>(event->midi_buffer_length > 2 ? event->midi_buffer[2] & 0x7F : 0),
                                                         event->track ? event->track->track_number : 0});
            continue;
        }
        const uint8_t type = status & 0xF0;
        const int channel = status & 0x0F;
        if (status >= 0xF0 || settings.channelTrack[channel] < 0) continue;
        const uint8_t data1 = event->midi_buffer_length > 1 ? event->midi_buffer[1] & 0x7F : 0;
        const uint8_t data2 = event->midi_buffer_length > 2 ? event->midi_buffer[2] & 0x7F : 0;
        SongEvent e;
        e.tick = tickOf(event->time_pulses);
        e.track = settings.channelTrack[channel];
        e.place.file = name + " (track " + std::to_string(event->track ? event->track->track_number : 0) +
                       ", MIDI tick " + std::to_string(event->time_pulses) + ", channel " + std::to_string(channel + 1) + ")";
        if (type == kNoteOn || type == kNoteOff) {
            const int note = data1 + settings.transpose;
            if (note < 0 || note > 127)
                throw InputError(e.place.text() + ": note " + std::to_string(data1) + " transposed by " +
                                 std::to_string(settings.transpose) + " gives " + std::to_string(note) + ", out of range 0..127");
            e.value1 = static_cast<uint8_t>(note);
            const bool on = type == kNoteOn && data2 > 0;
            e.kind = on ? EventKind::NoteOn : EventKind::NoteOff;
            e.value2 = on ? data2 : 0;
        } else if (type == kControlChange) {
            const int lane = settings.controllerLane[data1];
            if (lane == 0) continue;
            e.kind = EventKind::Controller;
            e.lane = lane;
            e.value1 = data2;
        } else if (type == kProgramChange) {
            if (!settings.programs) continue;
            e.kind = EventKind::Program;
            e.value1 = data1;
        } else if (type == kPitchBend) {
            e.kind = EventKind::PitchBend;
            e.value1 = data1;
            e.value2 = data2;
        } else {
            continue;  // aftertouch
        }
        result.events.push_back(std::move(e));
    }
    for (int t = 1; t <= smf->number_of_tracks; ++t)
        if (smf_track_t* track = smf_get_track_by_number(smf.get(), t)) {
            if (smf_event_t* last = smf_track_get_last_event(track))
                endPulses = std::max<uint64_t>(endPulses, static_cast<uint64_t>(last->time_pulses));
        }
    result.endTick = tickOf(endPulses);
    if (settings.generalMidi) {
        for (const MidiChannelEvent& e : channelEvents) {
            const int note = e.data1 + settings.transpose;
            const uint8_t type = e.status & 0xF0;
            if ((type == kNoteOn || type == kNoteOff) && (e.status & 0x0F) != kDrumChannel && (note < 0 || note > 127))
                throw InputError(name + " (track " + std::to_string(e.fileTrack) + ", MIDI tick " + std::to_string(e.pulses) +
                                 "): note " + std::to_string(e.data1) + " transposed by " + std::to_string(settings.transpose) +
                                 " gives " + std::to_string(note) + ", out of range 0..127");
        }
        std::vector<MidiChannelEvent> transposed = channelEvents;
        for (MidiChannelEvent& e : transposed) {
            const uint8_t type = e.status & 0xF0;
            if ((type == kNoteOn || type == kNoteOff || type == 0xA0) && (e.status & 0x0F) != kDrumChannel)
                e.data1 = static_cast<uint8_t>(e.data1 + settings.transpose);
        }
        GeneralMidiSettings gm;
        gm.displayName = name;
        gm.tickOf = tickOf;
        gm.endPulses = endPulses;
        gm.programPatchName = settings.programPatchName;
        GeneralMidiResult played = playAsGeneralMidi(transposed, gm);
        result.events = std::move(played.events);
        result.warnings = std::move(played.warnings);
    }
    if (ports.size() > 1)
        result.warnings.push_back(name + ": the file addresses " + std::to_string(ports.size()) +
                                  " MIDI ports (more than 16 channels); their channels are played as one set of 16");
    if (sysex > 0) result.warnings.push_back(name + ": " + std::to_string(sysex) + " system exclusive messages dropped");

    if (settings.tempo) {
        uint64_t keptSignatures = 0;
        for (int i = 0;; ++i) {
            const smf_tempo_t* t = smf_get_tempo_by_number(smf.get(), i);
            if (t == nullptr) break;
            TempoEntry entry;
            entry.tick = tickOf(t->time_pulses);
            entry.microsecondsPerQuarter = static_cast<uint32_t>(t->microseconds_per_quarter_note);
            entry.numerator = static_cast<uint8_t>(t->numerator);
            entry.denominator = static_cast<uint8_t>(t->denominator);
            entry.thirdByte = t->notes_per_note > 0 ? static_cast<uint8_t>(t->notes_per_note) : entry.thirdByte;
            entry.place.file = name + " (tempo entry " + std::to_string(i) + ", MIDI tick " + std::to_string(t->time_pulses) + ")";
            // Played as General MIDI, a time signature the bar grid cannot hold
            // (a bar below a quarter, or not whole ticks) keeps the one before;
            // it only labels bars, so the music is the same.
            if (settings.generalMidi && barTicksOf(settings.ticksPerQuarter, entry.numerator, entry.denominator) == 0) {
                entry.numerator = result.tempo.empty() ? 4 : result.tempo.back().numerator;
                entry.denominator = result.tempo.empty() ? 4 : result.tempo.back().denominator;
                ++keptSignatures;
            }
            if (!result.tempo.empty() && result.tempo.back().tick == entry.tick)
                result.tempo.back() = entry;  // a later change at the same tick completes the entry
            else
                result.tempo.push_back(entry);
        }
        if (keptSignatures > 0)
            result.warnings.push_back(name + ": " + std::to_string(keptSignatures) +
                                      " time signatures with bars shorter than a quarter (or not whole ticks) keep the one"
                                      " before; bars are numbered by it");
    }
    return result;
}

}  // namespace zimblo::songc
