#include "general_midi.h"

#include <algorithm>
#include <array>

namespace zimblo::songc {

namespace {

constexpr uint8_t kNoteOff = 0x80;
constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kKeyPressure = 0xA0;
constexpr uint8_t kControlChange = 0xB0;
constexpr uint8_t kProgramChange = 0xC0;
constexpr uint8_t kChannelPressure = 0xD0;
constexpr uint8_t kPitchBend = 0xE0;

constexpr uint8_t kModulationController = 1;
constexpr uint8_t kVolumeController = 7;
constexpr uint8_t kPanController = 10;
constexpr uint8_t kExpressionController = 11;
constexpr uint8_t kSustainController = 64;
constexpr uint8_t kAllSoundOff = 120;
constexpr uint8_t kResetControllers = 121;
constexpr uint8_t kAllNotesOff = 123;  // 123..127 all end the held notes
// Controllers that set up other controllers or only select banks: consumed
// without a warning, since there is nothing they could have done here.
constexpr std::array<uint8_t, 7> kSilentControllers = {0, 6, 32, 38, 98, 99, 100};
constexpr uint8_t kRegisteredParameterMsb = 101;

constexpr int kModulationLane = 1;
constexpr int kPanRightLane = 2;
constexpr int kPanLeftLane = 3;
constexpr int kExpressionLane = 4;
constexpr int kVolumeLane = 7;
constexpr uint8_t kResetVolume = 100;  // CC7 after a General MIDI reset
constexpr uint8_t kPanCentre = 64;
constexpr uint8_t kPedalDown = 64;
constexpr uint8_t kMaxData = 127;

enum class KeyState : uint8_t { Silent, Held, Sustained };

struct ChannelState {
    bool hasNotes = false;
    bool pedal = false;
    std::array<KeyState, 128> keys{};
    std::array<uint8_t, 8> lanes{0, 0, 0, 0, 0, 0, 0, 100};  // lanes 1..7 as the engine has them
    int firstProgramPulses = -1;
};

struct DropCounts {
    uint64_t pitchBends = 0;
    uint64_t aftertouch = 0;
    uint64_t controllers = 0;
    uint64_t silentTrackControllers = 0;
    uint64_t drumPrograms = 0;
};

}  // namespace

DrumFamily drumFamilyOf(int note) {
    switch (note) {
        case 35: case 36: return DrumFamily::Kick;
        case 37: case 38: case 39: case 40: return DrumFamily::Snare;
        case 41: case 43: case 45: case 47: case 48: case 50: return DrumFamily::Toms;
        case 42: case 44: case 46: return DrumFamily::HiHats;
        case 49: case 51: case 52: case 53: case 55: case 57: case 59: return DrumFamily::Cymbals;
        default: return DrumFamily::HandPercussion;
    }
}

const char* drumPatchName(DrumFamily family) {
    switch (family) {
        case DrumFamily::Kick: return "kit_kick";
        case DrumFamily::Snare: return "kit_snare";
        case DrumFamily::Toms: return "kit_tom";
        case DrumFamily::HiHats: return "kit_hihat";
        case DrumFamily::Cymbals: return "kit_cymbal";
        case DrumFamily::HandPercussion: return "kit_hand";
    }
    return kWholeKitPatchName;
}

std::array<int, kDrumFamilyCount> assignDrumTracks(const std::array<bool, kDrumFamilyCount>& used,
                                                   const std::vector<int>& freeTracks, bool& wholeKit) {
    // Each family starts as its own group; while there are more groups than
    // tracks, groups merge in this order (the family merged, the one it joins).
    constexpr std::array<std::pair<DrumFamily, DrumFamily>, 5> kMerges = {{
        {DrumFamily::HandPercussion, DrumFamily::Toms},
        {DrumFamily::Cymbals, DrumFamily::HiHats},
        {DrumFamily::Toms, DrumFamily::Snare},
        {DrumFamily::HiHats, DrumFamily::Snare},
        {DrumFamily::Snare, DrumFamily::Kick},
    }};
    std::array<int, kDrumFamilyCount> group{};
    for (int f = 0; f < kDrumFamilyCount; ++f) group[f] = f;
    auto groupCount = [&] {
        std::array<bool, kDrumFamilyCount> seen{};
        int count = 0;
        for (int f = 0; f < kDrumFamilyCount; ++f)
            if (used[f] && !seen[group[f]]) seen[group[f]] = true, ++count;
        return count;
    };
    const int slots = 1 + static_cast<int>(freeTracks.size());
    for (const auto& [from, into] : kMerges) {
        if (groupCount() <= slots) break;
        const int merged = group[static_cast<int>(from)], joined = group[static_cast<int>(into)];
        for (int f = 0; f < kDrumFamilyCount; ++f)
            if (group[f] == merged) group[f] = joined;
    }
    wholeKit = groupCount() > slots || slots == 1;
    std::array<int, kDrumFamilyCount> track{};
    track.fill(kDrumChannel);
    if (wholeKit) return track;
    std::array<int, kDrumFamilyCount> groupTrack{};
    groupTrack.fill(-1);
    size_t nextFree = 0;
    bool drumTrackTaken = false;
    for (int f = 0; f < kDrumFamilyCount; ++f) {
        if (!used[f]) continue;
        int& t = groupTrack[group[f]];
        if (t < 0) {
            t = drumTrackTaken ? freeTracks[nextFree++] : kDrumChannel;
            drumTrackTaken = true;
        }
        track[f] = t;
    }
    return track;
}

GeneralMidiResult playAsGeneralMidi(const std::vector<MidiChannelEvent>& events, const GeneralMidiSettings& settings) {
    GeneralMidiResult result;
    std::array<ChannelState, 16> channels{};
    std::array<bool, kDrumFamilyCount> familyUsed{};
    for (const MidiChannelEvent& e : events) {
        const int channel = e.status & 0x0F;
        const uint8_t type = e.status & 0xF0;
        if (type == kNoteOn && e.data2 > 0) {
            channels[channel].hasNotes = true;
            if (channel == kDrumChannel) familyUsed[static_cast<int>(drumFamilyOf(e.data1))] = true;
        }
        if (type == kProgramChange && channels[channel].firstProgramPulses < 0)
            channels[channel].firstProgramPulses = static_cast<int>(std::min<uint64_t>(e.pulses, 0x7FFFFFFF));
    }
    std::vector<int> freeTracks;
    for (int t = 0; t < 16; ++t)
        if (t != kDrumChannel && !channels[t].hasNotes) freeTracks.push_back(t);
    bool wholeKit = false;
    const std::array<int, kDrumFamilyCount> drumTrack = assignDrumTracks(familyUsed, freeTracks, wholeKit);
    std::vector<int> drumTracks;  // the distinct tracks the drums play on
    for (int f = 0; f < kDrumFamilyCount; ++f)
        if (familyUsed[f] && std::find(drumTracks.begin(), drumTracks.end(), drumTrack[f]) == drumTracks.end())
            drumTracks.push_back(drumTrack[f]);

    auto push = [&](uint64_t pulses, int track, EventKind kind, uint8_t value1, uint8_t value2, const std::string& where) {
        SongEvent s;
        s.tick = settings.tickOf(pulses);
        s.track = track;
        s.kind = kind;
        s.value1 = value1;
        s.value2 = value2;
        s.place.file = where;
        return &result.events.emplace_back(std::move(s));
    };
    auto placeOf = [&](const MidiChannelEvent& e) {
        return settings.displayName + " (track " + std::to_string(e.fileTrack) + ", MIDI tick " + std::to_string(e.pulses) +
               ", channel " + std::to_string((e.status & 0x0F) + 1) + ")";
    };
    // The tracks a channel's controllers and programs reach.
    auto tracksOf = [&](int channel) {
        return channel == kDrumChannel ? drumTracks : std::vector<int>{channel};
    };
    auto setLane = [&](uint64_t pulses, int channel, int lane, uint8_t value, const std::string& where) {
        channels[channel].lanes[lane] = value;
        for (int track : tracksOf(channel)) push(pulses, track, EventKind::Controller, value, 0, where)->lane = lane;
    };
    auto program = [&](uint64_t pulses, int track, const std::string& patch, const std::string& where) {
        push(pulses, track, EventKind::Program, 0, 0, where)->patchName = patch;
    };

    // Every track that plays starts with its patch and the reset volume; a
    // value the file sets at tick 0 comes later and wins.
    for (int c = 0; c < 16; ++c) {
        if (!channels[c].hasNotes) continue;
        const std::string where = settings.displayName + " (channel " + std::to_string(c + 1) + ")";
        if (c == kDrumChannel) {
            // A group of merged families takes the patch of its first family.
            for (int f = 0; f < kDrumFamilyCount; ++f) {
                bool first = familyUsed[f];
                for (int g = 0; g < f; ++g) first = first && !(familyUsed[g] && drumTrack[g] == drumTrack[f]);
                if (first) program(0, drumTrack[f], wholeKit ? kWholeKitPatchName : drumPatchName(static_cast<DrumFamily>(f)), where);
            }
        } else if (channels[c].firstProgramPulses != 0) {
            program(0, c, settings.programPatchName(0), where);
        }
        for (int track : tracksOf(c)) push(0, track, EventKind::Controller, kResetVolume, 0, where)->lane = kVolumeLane;
    }

    DropCounts dropped;
    auto noteOff = [&](uint64_t pulses, int channel, int key, const std::string& where) {
        const int track = channel == kDrumChannel ? drumTrack[static_cast<int>(drumFamilyOf(key))] : channel;
        push(pulses, track, EventKind::NoteOff, static_cast<uint8_t>(key), 0, where);
        channels[channel].keys[key] = KeyState::Silent;
    };
    auto releaseSustained = [&](uint64_t pulses, int channel, const std::string& where) {
        for (int key = 0; key < 128; ++key)
            if (channels[channel].keys[key] == KeyState::Sustained) noteOff(pulses, channel, key, where);
    };
    for (const MidiChannelEvent& e : events) {
        const int channel = e.status & 0x0F;
        const uint8_t type = e.status & 0xF0;
        ChannelState& state = channels[channel];
        if (!state.hasNotes) {
            if (type == kControlChange || type == kPitchBend || type == kProgramChange) ++dropped.silentTrackControllers;
            continue;
        }
        const std::string where = placeOf(e);
        if (type == kNoteOn && e.data2 > 0) {
            if (state.keys[e.data1] != KeyState::Silent) noteOff(e.pulses, channel, e.data1, where);
            const int track = channel == kDrumChannel ? drumTrack[static_cast<int>(drumFamilyOf(e.data1))] : channel;
            push(e.pulses, track, EventKind::NoteOn, e.data1, e.data2, where);
            state.keys[e.data1] = KeyState::Held;
        } else if (type == kNoteOn || type == kNoteOff) {
            if (state.keys[e.data1] != KeyState::Held) continue;
            if (state.pedal && channel != kDrumChannel) state.keys[e.data1] = KeyState::Sustained;
            else noteOff(e.pulses, channel, e.data1, where);
        } else if (type == kProgramChange) {
            if (channel == kDrumChannel) {
                ++dropped.drumPrograms;
                continue;
            }
            program(e.pulses, channel, settings.programPatchName(e.data1), where);
            // The engine clears lanes 1..6 at a program change; give them back.
            for (int lane = kModulationLane; lane <= kExpressionLane; ++lane)
                if (state.lanes[lane] != 0) setLane(e.pulses, channel, lane, state.lanes[lane], where);
        } else if (type == kControlChange) {
            const uint8_t value = e.data2;
            switch (e.data1) {
                case kModulationController: setLane(e.pulses, channel, kModulationLane, value, where); break;
                case kVolumeController: setLane(e.pulses, channel, kVolumeLane, value, where); break;
                case kPanController:
                    setLane(e.pulses, channel, kPanRightLane, value > kPanCentre ? value - kPanCentre : 0, where);
                    setLane(e.pulses, channel, kPanLeftLane, value < kPanCentre ? kPanCentre - value : 0, where);
                    break;
                case kExpressionController: setLane(e.pulses, channel, kExpressionLane, kMaxData - value, where); break;
                case kSustainController:
                    if (value >= kPedalDown) {
                        state.pedal = true;
                    } else if (state.pedal) {
                        state.pedal = false;
                        releaseSustained(e.pulses, channel, where);
                    }
                    break;
                case kResetControllers:
                    state.pedal = false;
                    releaseSustained(e.pulses, channel, where);
                    if (state.lanes[kModulationLane] != 0) setLane(e.pulses, channel, kModulationLane, 0, where);
                    if (state.lanes[kExpressionLane] != 0) setLane(e.pulses, channel, kExpressionLane, 0, where);
                    break;
                case kAllSoundOff:
                    for (int key = 0; key < 128; ++key)
                        if (state.keys[key] != KeyState::Silent) noteOff(e.pulses, channel, key, where);
                    break;
                default:
                    if (e.data1 >= kAllNotesOff) {
                        for (int key = 0; key < 128; ++key)
                            if (state.keys[key] == KeyState::Held) {
                                if (state.pedal) state.keys[key] = KeyState::Sustained;
                                else noteOff(e.pulses, channel, key, where);
                            }
                    } else if (std::find(kSilentControllers.begin(), kSilentControllers.end(), e.data1) == kSilentControllers.end() &&
                               e.data1 != kRegisteredParameterMsb) {
                        ++dropped.controllers;
                    }
                    break;
            }
        } else if (type == kPitchBend) {
            ++dropped.pitchBends;
        } else if (type == kKeyPressure || type == kChannelPressure) {
            ++dropped.aftertouch;
        }
    }
    // The file's end releases every key that still sounds.
    for (int c = 0; c < 16; ++c)
        for (int key = 0; key < 128; ++key)
            if (channels[c].keys[key] != KeyState::Silent)
                noteOff(settings.endPulses, c, key, settings.displayName + " (end of the file)");

    // The song lasts as long as the file: a trailing rest ends with the file's
    // end-of-track, marked by the volume lane written again there.
    for (int c = 0; c < 16; ++c) {
        if (!channels[c].hasNotes) continue;
        const uint64_t endTick = settings.tickOf(settings.endPulses);
        const bool reached = std::any_of(result.events.begin(), result.events.end(), [&](const SongEvent& e) { return e.tick >= endTick; });
        if (!reached)
            push(settings.endPulses, tracksOf(c).front(), EventKind::Controller, channels[c].lanes[kVolumeLane], 0,
                 settings.displayName + " (end of the file)")->lane = kVolumeLane;
        break;
    }

    auto warn = [&](uint64_t count, const std::string& what) {
        if (count > 0) result.warnings.push_back(settings.displayName + ": " + std::to_string(count) + " " + what);
    };
    warn(dropped.pitchBends, "pitch bends dropped: the engine does not bend pitch");
    warn(dropped.aftertouch, "aftertouch messages dropped: the engine has no aftertouch");
    warn(dropped.controllers, "controller messages dropped: only CC1, CC7, CC10, CC11, CC64 and the all-notes and reset messages are played");
    warn(dropped.silentTrackControllers, "controller, program and pitch-bend messages dropped on channels that play no notes");
    warn(dropped.drumPrograms, "program changes on channel 10 dropped: the drums always use the built-in kit");
    if (std::none_of(channels.begin(), channels.end(), [](const ChannelState& c) { return c.hasNotes; }))
        result.warnings.push_back(settings.displayName + ": the file plays no notes: the song is silent");
    if (wholeKit && std::count(familyUsed.begin(), familyUsed.end(), true) > 1)
        result.warnings.push_back(settings.displayName + ": no track is free for the drum families: all drums play on track 9 with the whole-kit patch");
    return result;
}

}  // namespace zimblo::songc
