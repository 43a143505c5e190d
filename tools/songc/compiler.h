// The song compiler: a project with its score and MIDI files in, song data
// bytes out.
//
// The events of all sources are merged per track and lane, checked against
// every limit of the song format and of the player that reads it (data bytes
// below 128, 24-bit gaps, the 4096-byte event step, tempo arithmetic in 32
// bits, a track with events must have notes), written through the SongWriter,
// and the result is opened with the checked loader before it is returned.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "project.h"
#include "score.h"

namespace zimblo::songc {

// Compiles a project read from disk. Throws InputError (bad input: exit 2) or
// IoError (unreadable files: exit 1).
std::vector<uint8_t> compileProjectFile(const std::filesystem::path& projectPath);

// Compiles a parsed project whose score texts are given (used by
// compileProjectFile after reading them, and by tests). MIDI files are read
// from disk.
std::vector<uint8_t> compileProject(const Project& project, const std::vector<ScoreFile>& scores);

// The events in the order the song writer is to receive them: by tick, note
// offs before note ons at one tick, otherwise as written; of several values of
// one controller lane (or the pitch bend) of one track at one tick only the
// last written is kept.
std::vector<SongEvent> orderEvents(std::vector<SongEvent> events);

// The bytes of the player's event step at the busiest tick of a song of these
// ordered events (status bytes, data and the terminator).
uint64_t largestStepBytes(const std::vector<SongEvent>& ordered);

// A C++ source that defines zimblo::data::kEmbeddedSong and kEmbeddedSongSize
// holding `song`.
std::string embeddedSongSource(const std::vector<uint8_t>& song, const std::string& origin);

}  // namespace zimblo::songc
