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
// Warnings (one complete line each) are added to `warnings` when given.
std::vector<uint8_t> compileProjectFile(const std::filesystem::path& projectPath, Warnings* warnings = nullptr);

// Compiles a parsed project whose score texts are given (used by
// compileProjectFile after reading them, and by tests). MIDI files are read
// from disk.
std::vector<uint8_t> compileProject(const Project& project, const std::vector<ScoreFile>& scores,
                                    Warnings* warnings = nullptr);

struct CompileResult {
    std::vector<uint8_t> song;
    Warnings warnings;
};

// A Standard MIDI File compiled on its own, in memory (nothing is written):
// the built-in bank, General MIDI playing rules (general_midi.h), the file's
// tempo map and division. When the mix would pass full scale, the master
// dynamics become a plain gain that keeps its peak at -0.5 dBFS, in steps of
// 0.375 dB, and a warning says by how much. Finding the peak renders the
// whole song (about 1/50 of its length on one core); `automaticGain = false`
// skips it. Throws InputError or IoError as compileProject does.
CompileResult compileMidi(const std::vector<uint8_t>& bytes, const std::string& displayName, bool automaticGain = true);
CompileResult compileMidiFile(const std::filesystem::path& path, bool automaticGain = true);

// Whether the bytes begin as a Standard MIDI File does.
bool looksLikeMidi(const std::vector<uint8_t>& bytes);

// The master gain steps (0.375 dB each) that bring `peak` to -0.5 dBFS; 0
// when it is already there or below.
int automaticGainSteps(float peak);

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
