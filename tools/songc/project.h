// The song project: the TOML file that holds a song's settings, tempo map,
// global effects, texts and patch bank, and names its score and MIDI files.
//
// Reading it resolves every name to its byte (parameter names, choice names,
// route sources and destinations), fills in defaults, and refuses unknown
// keys, wrong types and out-of-range values with file:line:column.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "midi_import.h"
#include "player/song_writer.h"
#include "song_events.h"

namespace zimblo::songc {

// A position written as a bar (17) or "BAR:BEAT" ("17:3").
struct BarPosition {
    uint64_t bar = 1;
    uint64_t beat = 1;
    SourcePlace place;
};

struct MidiSource {
    MidiImportSettings settings;  // offsetTicks is filled in once the bar grid is known
    BarPosition at;
    SourcePlace place;
};

struct ScoreReference {
    std::filesystem::path path;
    std::string displayName;
    SourcePlace place;  // where the project names it
};

// A named patch that takes a program number only when a song uses it: the
// patches of included files, the built-in bank's, and a project's own
// patches written with `numbered = false`.
struct LibraryPatch {
    std::string name;
    player::PatchDescription description;
    SourcePlace place;
};

struct Project {
    std::string displayName;
    std::string title;  // shown by players; not part of the song data
    std::filesystem::path directory;
    uint32_t ticksPerQuarter = 128;
    std::vector<ScoreReference> scores;
    std::vector<std::string> texts;
    SourcePlace textsPlace;
    std::vector<TempoEntry> tempo;
    std::vector<uint8_t> effectBlock;
    std::vector<player::PatchDescription> patches;  // by program
    std::vector<std::string> patchNames;            // by program; empty when unnamed
    std::vector<MidiSource> midi;
    std::vector<LibraryPatch> library;  // own unnumbered patches first, then the included ones

    // The program of a numbered patch of this name.
    std::optional<int> programNamed(std::string_view name) const;
    // A patch of this name that a song may take into its bank: a numbered
    // one, else from the library, else ("gm:NAME") from the built-in bank.
    const player::PatchDescription* patchNamed(std::string_view name) const;
};

// The most programs a bank addresses: a program change carries 0..127.
constexpr int kMaxPrograms = 128;

// Limits the compiler enforces on tempo so that the player's frame arithmetic
// cannot overflow 32 bits: (rate/100) × tempo must fit, at the highest rate
// the engine runs (96468 Hz).
constexpr uint32_t kMaxMicrosecondsPerQuarter = 4455360;
constexpr uint32_t kMaxTicksPerQuarterSetting = 429496;

// Parses project text; `displayName` is used in messages, `directory` to find
// the files it names. Throws InputError.
// `include = [...]` names TOML files read relative to `directory` ("gm" is
// the built-in bank); their patches join the library.
Project parseProject(const std::string& text, const std::string& displayName,
                     const std::filesystem::path& directory);
// Reads and parses a project file. Throws IoError when it cannot be read, and
// InputError naming what the file is when it holds a song file or a MIDI file.
Project loadProject(const std::filesystem::path& path);

}  // namespace zimblo::songc
