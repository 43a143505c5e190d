// Song loading for the live player: a file on disk, told apart by its content,
// becomes checked song data with what the view shows about it.
//
// Song data (what zimblo-songc writes) is recognised by the format's own
// checks; a Standard MIDI File is compiled with the built-in bank and its
// automatic gain, as zimblo-songc compiles it; any other text file is read as a
// song project and compiled in memory with the compiler's library, with the
// compiler's messages; nothing is written. Every kind goes through songKindOf and loadSong, so that a further
// kind is one more case there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zimblo::play {

enum class SongKind { SongData, Project, Midi, Unknown };

struct LoadedSong {
    std::string path;                 // as given; empty for the embedded song
    std::string fileName;             // shown as the title
    std::string title;                // the project's title, if it has one
    std::vector<uint8_t> bytes;       // checked song data
    std::vector<std::string> patchNames;           // by program; empty when unnamed
    std::vector<std::filesystem::path> sources;    // the files it was made from
    std::vector<std::string> warnings;             // the compiler's, one line each
    uint64_t lengthFrames = 0;        // frame of the last event at 44100 Hz
    uint32_t lengthBar = 0;           // bar and beat of the last event, from 0
    uint32_t lengthBeat = 0;
};

struct LoadFailure {
    int exitCode = 2;       // 2 bad input, 1 a file that cannot be read
    std::string message;    // one line, naming the file and place
};

SongKind songKindOf(const std::vector<uint8_t>& bytes);

// Reads, recognises and compiles or checks the file. False with `failure` set
// when it cannot be played.
bool loadSong(const std::string& path, LoadedSong& song, LoadFailure& failure);

// The song the program carries.
LoadedSong embeddedSong();

// The frames from the start to the song's last event at `rate`, as the
// player's own seek counts them, and the bar and beat (from 0) it falls on.
uint64_t songLengthFrames(const std::vector<uint8_t>& bytes, uint32_t rate, uint32_t* bar = nullptr,
                          uint32_t* beat = nullptr);

}  // namespace zimblo::play
