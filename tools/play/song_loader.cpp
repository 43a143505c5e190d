#include "song_loader.h"

#include <fstream>
#include <iterator>
#include <memory>

#include "compiler.h"
#include "data/embedded_song.h"
#include "player/player.h"
#include "player/song_format.h"
#include "project.h"
#include "song_events.h"

namespace zimblo::play {

namespace {

constexpr uint32_t kRate = 44100;
constexpr int kExitBadInput = 2;
constexpr int kExitIoFailure = 1;

bool looksLikeText(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes)
        if (b == 0 || (b < 0x20 && b != '\n' && b != '\r' && b != '\t')) return false;
    return !bytes.empty();
}

void describe(LoadedSong& song) {
    song.lengthFrames = songLengthFrames(song.bytes, kRate, &song.lengthBar, &song.lengthBeat);
}

}  // namespace

SongKind songKindOf(const std::vector<uint8_t>& bytes) {
    if (player::checkSong(bytes.data(), bytes.size()).empty()) return SongKind::SongData;
    if (songc::looksLikeMidi(bytes)) return SongKind::Midi;
    if (looksLikeText(bytes)) return SongKind::Project;
    return SongKind::Unknown;
}

bool loadSong(const std::string& path, LoadedSong& song, LoadFailure& failure) {
    song = LoadedSong{};
    song.path = path;
    song.fileName = std::filesystem::path(path).filename().string();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        failure = {kExitIoFailure, path + ": cannot open the file"};
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        failure = {kExitIoFailure, path + ": cannot read the file"};
        return false;
    }
    song.sources.push_back(path);

    // The compiler's failures as the compiler reports them: bad input 2, unreadable files 1.
    const auto compiled = [&](auto&& compile) {
        try {
            compile();
            return true;
        } catch (const songc::InputError& e) {
            failure = {kExitBadInput, e.what()};
        } catch (const songc::IoError& e) {
            failure = {kExitIoFailure, e.what()};
        } catch (const std::exception& e) {
            failure = {kExitBadInput, path + ": " + e.what()};
        }
        return false;
    };
    switch (songKindOf(bytes)) {
        case SongKind::SongData:
            song.bytes = std::move(bytes);
            break;
        case SongKind::Midi:
            if (!compiled([&] {
                    songc::CompileResult result = songc::compileMidi(bytes, path);
                    song.bytes = std::move(result.song);
                    song.warnings = std::move(result.warnings);
                }))
                return false;
            break;
        case SongKind::Project:
            if (!compiled([&] {
                    const songc::Project project = songc::loadProject(path);
                    song.title = project.title;
                    song.patchNames = project.patchNames;
                    for (const songc::ScoreReference& score : project.scores) song.sources.push_back(score.path);
                    for (const songc::MidiSource& midi : project.midi) song.sources.push_back(midi.settings.path);
                    song.bytes = songc::compileProjectFile(path, &song.warnings);
                }))
                return false;
            break;
        case SongKind::Unknown:
            failure = {kExitBadInput, path + ": neither song data (" + player::checkSong(bytes.data(), bytes.size()) +
                                          ") nor a MIDI file nor a song project"};
            return false;
    }
    describe(song);
    return true;
}

LoadedSong embeddedSong() {
    LoadedSong song;
    song.fileName = "the embedded song";
    song.bytes.assign(data::kEmbeddedSong, data::kEmbeddedSong + data::kEmbeddedSongSize);
    describe(song);
    return song;
}

uint64_t songLengthFrames(const std::vector<uint8_t>& bytes, uint32_t rate, uint32_t* bar, uint32_t* beat) {
    auto player = std::make_unique<player::Player>();
    if (!player->openChecked(bytes.data(), bytes.size(), rate, nullptr)) return 0;
    // The seek of Player::play, run to the end: every step, no frame rendered.
    player->state = player::PlayState::Playing;
    player->samplesToNextEvent = 0;
    player->remainderAccumulator = 0;
    uint64_t elapsed = 0;
    while (player->state == player::PlayState::Playing) {
        elapsed += player->samplesToNextEvent;
        player->step();
        if (player->state == player::PlayState::Playing)
            player::ticksToSamples(player->nextEventTick, player->currentTick, player->scaledSamplesPerQuarter,
                                   player->scaledTicksPerQuarter, player->remainderAccumulator,
                                   player->samplesToNextEvent);
    }
    if (bar != nullptr) *bar = player->barCount;
    if (beat != nullptr) *beat = player->beatInBar;
    return elapsed;
}

}  // namespace zimblo::play
