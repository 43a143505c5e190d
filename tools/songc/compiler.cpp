#include "compiler.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <tuple>

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

class SongChecks {
public:
    SongChecks(const Project& project, const std::vector<TempoEntry>& tempo, const std::vector<SongEvent>& ordered)
        : project_(project), tempo_(tempo), events_(ordered) {}

    void run() const {
        checkEventValues();
        checkTracksHaveNotes();
        checkGaps();
        checkStepSize();
        checkFrameCounts();
    }

private:
    void checkEventValues() const {
        const size_t programs = project_.patches.size();
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

    void checkTracksHaveNotes() const {
        std::array<bool, player::kTrackCount> hasNotes{};
        for (const SongEvent& e : events_)
            if (e.kind == EventKind::NoteOn || e.kind == EventKind::NoteOff) hasNotes[e.track] = true;
        for (const SongEvent& e : events_)
            if (!hasNotes[e.track])
                throw InputError(e.place, "track " + std::to_string(e.track) + " has " + kindName(e.kind) +
                                              " events but no notes; the song format gives a track without notes no"
                                              " other events");
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
    const std::vector<TempoEntry>& tempo_;
    const std::vector<SongEvent>& events_;
};

std::vector<uint8_t> writeSong(const Project& project, const std::vector<TempoEntry>& tempo,
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
    writer.setEffectBlock(project.effectBlock);
    for (const player::PatchDescription& patch : project.patches) writer.addPatch(patch);
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

std::vector<uint8_t> compileProject(const Project& project, const std::vector<ScoreFile>& scores) {
    std::vector<TempoEntry> tempo = project.tempo;
    std::vector<MidiImport> imports(project.midi.size());
    for (size_t i = 0; i < project.midi.size(); ++i) {
        if (!project.midi[i].settings.tempo) continue;
        imports[i] = importMidi(project.midi[i].settings);
        tempo = imports[i].tempo;
    }
    checkTempoMap(tempo, project.ticksPerQuarter);
    const MeterMap meters(project.ticksPerQuarter, tempo);

    ScoreSettings settings;
    settings.ticksPerQuarter = project.ticksPerQuarter;
    settings.meters = &meters;
    settings.programNamed = [&project](std::string_view name) { return project.programNamed(name); };
    settings.programCount = static_cast<int>(project.patches.size());
    std::vector<SongEvent> events = compileScores(scores, settings);

    for (size_t i = 0; i < project.midi.size(); ++i) {
        const MidiSource& source = project.midi[i];
        if (!source.settings.tempo) {
            MidiImportSettings s = source.settings;
            s.offsetTicks = meters.tickOf(source.at.bar, source.at.beat, source.at.place);
            imports[i] = importMidi(s);
        }
        for (SongEvent& e : imports[i].events) events.push_back(std::move(e));
    }

    const std::vector<SongEvent> ordered = orderEvents(std::move(events));
    SongChecks(project, tempo, ordered).run();
    std::vector<uint8_t> song = writeSong(project, tempo, ordered);
    selfCheck(project, song);
    return song;
}

std::vector<uint8_t> compileProjectFile(const std::filesystem::path& projectPath) {
    const Project project = loadProject(projectPath);
    std::vector<ScoreFile> scores;
    for (const ScoreReference& ref : project.scores)
        scores.push_back(ScoreFile{ref.path.string(), readText(ref.path, ref.place.text() + ": score file " + ref.displayName)});
    return compileProject(project, scores);
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
