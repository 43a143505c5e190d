#include "compiler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <tuple>

#include "builtin_bank.h"
#include "general_midi.h"
#include "midi_import.h"
#include "song_measure.h"
#include "player/player.h"
#include "player/song_format.h"
#include "player/song_writer.h"

namespace zimblo::songc {

namespace {

constexpr uint64_t kMaxTick = 0xFFFFFFFEu;
// The highest rate the engine runs at; the player's step arithmetic must not
// overflow there: (rate / 100) × tempo and the frames of every gap fit 32 bits.
constexpr uint64_t kHighestRateHundredths = 96468 / 100;
constexpr uint64_t kMaxFramesPerStep = 0xFFFFFFFFu;
constexpr uint32_t kSelfCheckRate = 44100;

const char* kindName(EventKind kind) {
    switch (kind) {
        case EventKind::NoteOff:
        case EventKind::NoteOn: return "note";
        case EventKind::Program: return "program";
        case EventKind::Controller: return "controller";
        case EventKind::PitchBend: return "pitch-bend";
    }
    return "";
}

// The lane an event is stored in, as the format numbers them.
int laneOf(const SongEvent& e) {
    switch (e.kind) {
        case EventKind::NoteOff:
        case EventKind::NoteOn: return player::kNoteLane;
        case EventKind::Program: return player::kProgramLane;
        case EventKind::PitchBend: return player::kPitchBendLane;
        case EventKind::Controller: return player::controllerLane(e.lane);
    }
    return 0;
}

std::string laneName(const SongEvent& e) {
    if (e.kind == EventKind::Controller) return "controller lane " + std::to_string(e.lane);
    return std::string(kindName(e.kind)) + " lane";
}

std::string readText(const std::filesystem::path& path, const std::string& what) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw IoError(what + ": cannot open " + path.string());
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad()) throw IoError(what + ": cannot read " + path.string());
    return text.str();
}

void checkTempoMap(const std::vector<TempoEntry>& tempo, uint32_t ticksPerQuarter) {
    uint64_t previous = 0;
    for (size_t i = 0; i < tempo.size(); ++i) {
        const TempoEntry& e = tempo[i];
        if (e.microsecondsPerQuarter == 0 || e.microsecondsPerQuarter > kMaxMicrosecondsPerQuarter)
            throw InputError(e.place, "tempo " + std::to_string(e.microsecondsPerQuarter) +
                                          " microseconds per quarter is out of range 1.." +
                                          std::to_string(kMaxMicrosecondsPerQuarter));
        if (barTicksOf(ticksPerQuarter, e.numerator, e.denominator) == 0)
            throw InputError(e.place, "time signature " + std::to_string(e.numerator) + "/" + std::to_string(e.denominator) +
                                          " does not give a bar of at least one quarter in whole ticks");
        if (e.tick > kMaxTick) throw InputError(e.place, "the tempo entry lies beyond the song format's last tick");
        if (e.tick - previous > player::kMaxDelta)
            throw InputError(e.place, "the gap of " + std::to_string(e.tick - previous) +
                                          " ticks before this tempo entry exceeds the format's 16777215");
        previous = e.tick;
    }
}

// The song format gives a track without notes no other lane: such a track's
// events are dropped, with one warning per track.
std::vector<SongEvent> dropTracksWithoutNotes(std::vector<SongEvent> events, Warnings& warnings) {
    std::array<bool, player::kTrackCount> hasNotes{};
    std::array<uint64_t, player::kTrackCount> dropped{};
    std::array<const SourcePlace*, player::kTrackCount> first{};
    for (const SongEvent& e : events)
        if (e.kind == EventKind::NoteOn || e.kind == EventKind::NoteOff) hasNotes[e.track] = true;
    std::vector<SongEvent> kept;
    kept.reserve(events.size());
    for (SongEvent& e : events) {
        if (hasNotes[e.track]) {
            kept.push_back(std::move(e));
            continue;
        }
        if (dropped[e.track]++ == 0) first[e.track] = &e.place;
    }
    for (int t = 0; t < player::kTrackCount; ++t)
        if (dropped[t] > 0)
            warnings.push_back(first[t]->text() + ": track " + std::to_string(t) + " has " + std::to_string(dropped[t]) +
                               " program, controller or pitch-bend events but no notes; they are dropped (a track"
                               " without notes holds nothing else)");
    return kept;
}

// Patches a song takes into its bank beyond the project's numbered ones: by
// name from the library or the built-in bank, numbered in order of first use.
class BankBuilder {
public:
    explicit BankBuilder(const Project& project) : project_(project), patches_(project.patches) {}

    // The program of a patch name: a numbered patch's own number, else the
    // number the named library patch is given.
    std::optional<int> programNamed(std::string_view name) {
        if (const std::optional<int> own = project_.programNamed(name)) return own;
        const auto taken = taken_.find(std::string(name));
        if (taken != taken_.end()) return taken->second;
        const player::PatchDescription* patch = project_.patchNamed(name);
        if (patch == nullptr) return std::nullopt;
        if (patches_.size() >= static_cast<size_t>(kMaxPrograms)) {
            full_ = true;
            return std::nullopt;
        }
        patches_.push_back(*patch);
        return taken_[std::string(name)] = static_cast<int>(patches_.size() - 1);
    }

    // A patch the built-in bank names: the project's own patch or library
    // patch of that name overrides it.
    int programForBankPatch(const std::string& name, Warnings& warnings, const std::string& where) {
        std::optional<int> program = programNamed(name);
        if (!program) program = programNamed(std::string(kBuiltinPrefix) + name);
        if (program) return *program;
        if (!reportedFull_) {
            warnings.push_back(where + ": the bank is full (128 programs); patch " + name + " plays as program 0");
            reportedFull_ = true;
        }
        return 0;
    }

    bool full() const { return full_; }
    const std::vector<player::PatchDescription>& patches() const { return patches_; }

private:
    const Project& project_;
    std::vector<player::PatchDescription> patches_;
    std::map<std::string, int> taken_;
    bool full_ = false;
    bool reportedFull_ = false;
};

class SongChecks {
public:
    SongChecks(const Project& project, size_t programCount, const std::vector<TempoEntry>& tempo,
               const std::vector<SongEvent>& ordered)
        : project_(project), programCount_(programCount), tempo_(tempo), events_(ordered) {}

    void run() const {
        checkEventValues();
        checkGaps();
        checkStepSize();
        checkFrameCounts();
    }

private:
    void checkEventValues() const {
        const size_t programs = programCount_;
        for (const SongEvent& e : events_) {
            if (e.tick > kMaxTick)
                throw InputError(e.place, "this event lies at tick " + std::to_string(e.tick) +
                                              ", beyond the song format's last tick " + std::to_string(kMaxTick));
            if (e.kind == EventKind::Program && e.value1 >= programs)
                throw InputError(e.place, "program " + std::to_string(e.value1) + " is not in the patch bank (" +
                                              (programs == 0 ? std::string("the bank is empty")
                                                             : "programs 0.." + std::to_string(programs - 1)) +
                                              ")");
        }
    }

    void checkGaps() const {
        std::map<std::pair<int, int>, uint64_t> lastTick;
        for (const SongEvent& e : events_) {
            const auto key = std::make_pair(e.track, laneOf(e));
            const uint64_t previous = lastTick.count(key) ? lastTick[key] : 0;
            if (e.tick - previous > player::kMaxDelta)
                throw InputError(e.place, "track " + std::to_string(e.track) + " " + laneName(e) + ": the gap of " +
                                              std::to_string(e.tick - previous) + " ticks before this event exceeds"
                                              " the format's 16777215");
            lastTick[key] = e.tick;
        }
    }

    void checkStepSize() const {
        size_t i = 0;
        while (i < events_.size()) {
            const uint64_t tick = events_[i].tick;
            size_t end = i;
            while (end < events_.size() && events_[end].tick == tick) ++end;
            const uint64_t bytes = largestStepBytes(std::vector<SongEvent>(events_.begin() + i, events_.begin() + end));
            if (bytes > player::kEventBufferBytes)
                throw InputError(events_[i].place, "the events at tick " + std::to_string(tick) + " need " +
                                                       std::to_string(bytes) + " bytes in one player step, which holds " +
                                                       std::to_string(player::kEventBufferBytes));
            i = end;
        }
    }

    // Between two successive steps the player counts frames in 32 bits:
    // gap · (rate/100 · tempo) / (ticks per quarter · 10000) must fit.
    void checkFrameCounts() const {
        std::vector<std::pair<uint64_t, const SourcePlace*>> ticks;
        for (const SongEvent& e : events_) ticks.emplace_back(e.tick, &e.place);
        for (const TempoEntry& t : tempo_) ticks.emplace_back(t.tick, &t.place);
        std::stable_sort(ticks.begin(), ticks.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        const unsigned __int128 divisor = uint64_t{project_.ticksPerQuarter} * 10000;
        uint64_t previous = 0;
        uint64_t tempo = kDefaultMicrosecondsPerQuarter;
        size_t nextTempo = 0;
        for (const auto& [tick, place] : ticks) {
            while (nextTempo < tempo_.size() && tempo_[nextTempo].tick <= previous) tempo = tempo_[nextTempo++].microsecondsPerQuarter;
            const unsigned __int128 frames = static_cast<unsigned __int128>(tick - previous) * (kHighestRateHundredths * tempo) / divisor;
            if (frames > kMaxFramesPerStep)
                throw InputError(*place, "the gap of " + std::to_string(tick - previous) +
                                             " ticks before this event lasts too long for the player to count its frames");
            previous = tick;
        }
    }

    const Project& project_;
    size_t programCount_;
    const std::vector<TempoEntry>& tempo_;
    const std::vector<SongEvent>& events_;
};

std::vector<uint8_t> writeSong(const Project& project, const std::vector<player::PatchDescription>& patches,
                               const std::vector<uint8_t>& effectBlock, const std::vector<TempoEntry>& tempo,
                               const std::vector<SongEvent>& ordered) {
    player::SongWriter writer;
    writer.setTicksPerQuarter(project.ticksPerQuarter);
    for (const TempoEntry& t : tempo)
        writer.addTempo(static_cast<uint32_t>(t.tick), t.microsecondsPerQuarter, t.numerator, t.denominator, t.thirdByte);
    for (const SongEvent& e : ordered) {
        const uint32_t tick = static_cast<uint32_t>(e.tick);
        switch (e.kind) {
            case EventKind::NoteOn: writer.addNoteOn(e.track, tick, e.value1, e.value2); break;
            case EventKind::NoteOff: writer.addNoteOff(e.track, tick, e.value1); break;
            case EventKind::Program: writer.addProgram(e.track, tick, e.value1); break;
            case EventKind::Controller: writer.addController(e.track, e.lane, tick, e.value1); break;
            case EventKind::PitchBend: writer.addPitchBend(e.track, tick, e.value1, e.value2); break;
        }
    }
    writer.setEffectBlock(effectBlock);
    for (const player::PatchDescription& patch : patches) writer.addPatch(patch);
    for (const std::string& text : project.texts) writer.addText(text);
    try {
        return writer.build();
    } catch (const std::exception& e) {
        throw InputError(project.displayName + ": the song cannot be encoded: " + e.what());
    }
}

// The compiled bytes go through the loader's own check and open, so a song
// the player would refuse is never written.
void selfCheck(const Project& project, const std::vector<uint8_t>& song) {
    std::string problem;
    auto player = std::make_unique<player::Player>();
    if (player->openChecked(song.data(), song.size(), kSelfCheckRate, &problem) == 0)
        throw InputError(project.displayName + ": the compiled song does not pass the checked loader: " + problem);
    player->close();
}

}  // namespace

std::vector<SongEvent> orderEvents(std::vector<SongEvent> events) {
    std::stable_sort(events.begin(), events.end(), [](const SongEvent& a, const SongEvent& b) {
        const int aOff = a.kind == EventKind::NoteOff ? 0 : 1;
        const int bOff = b.kind == EventKind::NoteOff ? 0 : 1;
        return std::tie(a.tick, aOff) < std::tie(b.tick, bOff);
    });
    // Of several values of one continuous lane at one tick only the last one matters.
    std::map<std::tuple<int, int, uint64_t>, size_t> lastAt;
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].kind == EventKind::Controller || events[i].kind == EventKind::PitchBend)
            lastAt[{events[i].track, laneOf(events[i]), events[i].tick}] = i;
    std::vector<SongEvent> kept;
    kept.reserve(events.size());
    for (size_t i = 0; i < events.size(); ++i) {
        const SongEvent& e = events[i];
        if ((e.kind == EventKind::Controller || e.kind == EventKind::PitchBend) && lastAt[{e.track, laneOf(e), e.tick}] != i)
            continue;
        kept.push_back(e);
    }
    return kept;
}

uint64_t largestStepBytes(const std::vector<SongEvent>& ordered) {
    constexpr uint64_t kTerminatorBytes = 1;
    uint64_t largest = 0;
    size_t i = 0;
    while (i < ordered.size()) {
        const uint64_t tick = ordered[i].tick;
        // Per track: which program, controller and bend lanes have an event
        // here (each sends one per step) and how many notes (all in one step).
        std::array<std::array<bool, player::kLanesPerTrack>, player::kTrackCount> present{};
        std::array<uint64_t, player::kTrackCount> notes{};
        for (; i < ordered.size() && ordered[i].tick == tick; ++i) {
            const SongEvent& e = ordered[i];
            if (e.kind == EventKind::NoteOn || e.kind == EventKind::NoteOff) ++notes[e.track];
            else present[e.track][laneOf(e)] = true;
        }
        uint64_t bytes = kTerminatorBytes;
        for (int t = 0; t < player::kTrackCount; ++t) {
            if (present[t][player::kProgramLane]) bytes += 2;
            uint64_t controllers = 0;
            for (int lane = 1; lane <= player::kControllerCount; ++lane) controllers += present[t][player::controllerLane(lane)];
            if (controllers > 0) bytes += 1 + 2 * controllers;  // one status byte for the run
            if (present[t][player::kPitchBendLane]) bytes += 3;
            if (notes[t] > 0) bytes += 1 + 2 * notes[t];
        }
        largest = std::max(largest, bytes);
    }
    return largest;
}

namespace {

// Tracks that play notes while their program has no patch are silent.
void warnSilentTracks(const Project& project, size_t programCount, const std::vector<SongEvent>& ordered, Warnings& warnings) {
    const bool hasNotes = std::any_of(ordered.begin(), ordered.end(), [](const SongEvent& e) { return e.kind == EventKind::NoteOn; });
    if (programCount == 0) {
        if (hasNotes) warnings.push_back(project.displayName + ": the project has no patches: every note is silent");
        return;
    }
    std::array<int, player::kTrackCount> program{};
    std::array<bool, player::kTrackCount> warned{};
    for (const SongEvent& e : ordered) {
        if (e.kind == EventKind::Program) program[e.track] = e.value1;
        if (e.kind == EventKind::NoteOn && !warned[e.track] && static_cast<size_t>(program[e.track]) >= programCount) {
            warned[e.track] = true;
            warnings.push_back(e.place.text() + ": track " + std::to_string(e.track) + " plays program " +
                               std::to_string(program[e.track]) + ", which has no patch: it is silent");
        }
    }
}

void warnPitchBends(const std::vector<SongEvent>& events, Warnings& warnings) {
    const SongEvent* first = nullptr;
    uint64_t count = 0;
    for (const SongEvent& e : events)
        if (e.kind == EventKind::PitchBend && count++ == 0) first = &e;
    if (count > 0)
        warnings.push_back(first->place.text() + ": pitch bend has no effect: the engine does not bend pitch (" +
                           std::to_string(count) + " bend values are stored and ignored)");
}

// The master dynamics as a plain gain: peak detector, ratio 0 (no reduction),
// output gain 2^((g21 - 64)/16), that is 0.375 dB a step.
constexpr size_t kMasterDynamicsKind = 13;
constexpr size_t kMasterDynamicsRatio = 18;
constexpr size_t kMasterDynamicsGain = 21;
constexpr uint8_t kPeakDetector = 1;
constexpr uint8_t kUnityGainByte = 64;
constexpr double kDecibelsPerGainStep = 0.375;
constexpr float kGainHeadroomPeak = 0.944f;  // -0.5 dBFS: the target peak after the automatic gain
constexpr double kMeasureTailSeconds = 4.0;

// The global effects of a MIDI file played on its own: a room of about two
// seconds that the bank's patches send to, no global delay.
constexpr std::string_view kMidiProjectEffects = R"toml(
[effects.reverb]
time = 28
damping = 88
low_cut = 20
input = 64
)toml";

}  // namespace

std::vector<uint8_t> compileProject(const Project& project, const std::vector<ScoreFile>& scores, Warnings* warningsOut) {
    Warnings localWarnings;
    Warnings& warnings = warningsOut ? *warningsOut : localWarnings;
    std::vector<TempoEntry> tempo = project.tempo;
    std::vector<MidiImport> imports(project.midi.size());
    auto settingsOf = [](const MidiSource& source) {
        MidiImportSettings s = source.settings;
        if (s.generalMidi) s.programPatchName = [](int p) { return generalMidiProgramName(p); };
        return s;
    };
    for (size_t i = 0; i < project.midi.size(); ++i) {
        if (!project.midi[i].settings.tempo) continue;
        imports[i] = importMidi(settingsOf(project.midi[i]));
        tempo = imports[i].tempo;
    }
    checkTempoMap(tempo, project.ticksPerQuarter);
    const MeterMap meters(project.ticksPerQuarter, tempo);

    BankBuilder bank(project);
    ScoreSettings settings;
    settings.ticksPerQuarter = project.ticksPerQuarter;
    settings.meters = &meters;
    settings.programNamed = [&bank](std::string_view name) { return bank.programNamed(name); };
    settings.programCount = static_cast<int>(project.patches.size());
    std::vector<SongEvent> events = compileScores(scores, settings);
    if (bank.full()) throw InputError(project.displayName + ": the patches the scores name do not fit the bank's 128 programs");
    warnPitchBends(events, warnings);

    for (size_t i = 0; i < project.midi.size(); ++i) {
        const MidiSource& source = project.midi[i];
        if (!source.settings.tempo) {
            MidiImportSettings s = settingsOf(source);
            s.offsetTicks = meters.tickOf(source.at.bar, source.at.beat, source.at.place);
            imports[i] = importMidi(s);
        }
        for (std::string& w : imports[i].warnings) warnings.push_back(std::move(w));
        for (SongEvent& e : imports[i].events) {
            if (!e.patchName.empty()) e.value1 = static_cast<uint8_t>(bank.programForBankPatch(e.patchName, warnings, e.place.text()));
            events.push_back(std::move(e));
        }
    }

    const std::vector<SongEvent> ordered = orderEvents(dropTracksWithoutNotes(std::move(events), warnings));
    SongChecks(project, bank.patches().size(), tempo, ordered).run();
    warnSilentTracks(project, bank.patches().size(), ordered, warnings);
    std::vector<uint8_t> song = writeSong(project, bank.patches(), project.effectBlock, tempo, ordered);
    selfCheck(project, song);
    return song;
}

std::vector<uint8_t> compileProjectFile(const std::filesystem::path& projectPath, Warnings* warnings) {
    const Project project = loadProject(projectPath);
    std::vector<ScoreFile> scores;
    for (const ScoreReference& ref : project.scores)
        scores.push_back(ScoreFile{ref.path.string(), readText(ref.path, ref.place.text() + ": score file " + ref.displayName)});
    return compileProject(project, scores, warnings);
}

int automaticGainSteps(float peak) {
    if (!(peak > kGainHeadroomPeak)) return 0;
    const double decibels = 20.0 * std::log10(static_cast<double>(peak) / kGainHeadroomPeak);
    return static_cast<int>(std::ceil(decibels / kDecibelsPerGainStep));
}

static std::vector<uint8_t> applyAutomaticGain(const Project& project, const std::vector<ScoreFile>& scores, std::vector<uint8_t> song,
                                        Warnings& warnings) {
    const SongMeasure measure = measureSong(song, kMeasureTailSeconds);
    const int steps = std::min(automaticGainSteps(measure.peak), static_cast<int>(kUnityGainByte));
    if (steps == 0) return song;
    Project quieter = project;
    if (quieter.effectBlock.size() <= kMasterDynamicsGain) quieter.effectBlock.resize(kMasterDynamicsGain + 1, 0);
    quieter.effectBlock[kMasterDynamicsKind] = kPeakDetector;
    quieter.effectBlock[kMasterDynamicsRatio] = 0;
    quieter.effectBlock[kMasterDynamicsGain] = static_cast<uint8_t>(kUnityGainByte - steps);
    char text[160];
    std::snprintf(text, sizeof text, ": the mix peaks at %+.1f dBFS; an automatic gain of %.3f dB keeps it below full scale",
                  20.0 * std::log10(static_cast<double>(measure.peak)), -steps * kDecibelsPerGainStep);
    warnings.push_back(project.displayName + text);
    Warnings again;
    return compileProject(quieter, scores, &again);
}

// A MIDI file on its own: the built-in bank, General MIDI rules, the file's
// tempo map and its own division as the song's ticks per quarter.
CompileResult compileMidi(const std::vector<uint8_t>& bytes, const std::string& displayName, bool automaticGain) {
    checkMidiChunks(bytes, displayName);
    const uint32_t division = uint32_t{bytes[12]} << 8 | bytes[13];
    Project project = parseProject(std::string(kMidiProjectEffects), displayName, {});
    project.ticksPerQuarter = std::min(division, kMaxTicksPerQuarterSetting);
    MidiSource source;
    source.settings = defaultMidiSettings();
    source.settings.displayName = displayName;
    source.settings.path = displayName;
    source.settings.bytes = bytes;
    source.settings.ticksPerQuarter = project.ticksPerQuarter;
    source.settings.tempo = true;
    source.settings.generalMidi = true;
    source.place.file = displayName;
    project.midi.push_back(std::move(source));
    CompileResult result;
    result.song = compileProject(project, {}, &result.warnings);
    if (automaticGain) result.song = applyAutomaticGain(project, {}, std::move(result.song), result.warnings);
    return result;
}

CompileResult compileMidiFile(const std::filesystem::path& path, bool automaticGain) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw IoError(path.string() + ": cannot open the MIDI file");
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw IoError(path.string() + ": cannot read the MIDI file");
    return compileMidi(bytes, path.string(), automaticGain);
}

bool looksLikeMidi(const std::vector<uint8_t>& bytes) {
    return bytes.size() >= 4 && bytes[0] == 'M' && bytes[1] == 'T' && bytes[2] == 'h' && bytes[3] == 'd';
}

std::string embeddedSongSource(const std::vector<uint8_t>& song, const std::string& origin) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(song.size() * 6 + 512);
    out += "// Generated by zimblo-songc from " + origin + "; edit the song's sources, not this file.\n";
    out += "#include \"data/embedded_song.h\"\n\nnamespace zimblo::data {\n\nconst uint8_t kEmbeddedSong[] = {\n";
    for (size_t i = 0; i < song.size(); ++i) {
        if (i % 16 == 0) out += "   ";
        out += " 0x";
        out += kHex[song[i] >> 4];
        out += kHex[song[i] & 15];
        out += ',';
        if (i % 16 == 15 || i + 1 == song.size()) out += '\n';
    }
    out += "};\n\nconst size_t kEmbeddedSongSize = sizeof(kEmbeddedSong);\n\n}  // namespace zimblo::data\n";
    return out;
}

}  // namespace zimblo::songc
