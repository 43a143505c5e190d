// What the fuzz targets and their seed maker share: a small patch bank that
// exercises every voice and channel unit, the song's global effect block,
// songs built with the SongWriter, and the control header that the whole-song
// target reads in front of the song bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "player/song_writer.h"

namespace zimblo::fuzz {

// Writes a seed file dir/name (creating dir); throws std::runtime_error when it cannot.
void writeSeed(const std::filesystem::path& dir, const std::string& name, const std::vector<uint8_t>& bytes);


// Patches with meaningful settings (0..128) and modulation routes, plus one
// with bytes up to 255 where no route clamps them; voice limits 4, 1, 8, 64, 2.
std::vector<player::PatchDescription> examplePatches();
std::vector<uint8_t> examplePatchBank();

// 23 bytes: a room reverb, a delay and a master compressor switched on.
std::vector<uint8_t> exampleEffectBlock();

// Lyric lines for the singer, in its phoneme notation, and a few odd ones.
std::vector<const char*> exampleLyrics();

// A song of a few bars using every lane kind, tempo changes, channel 15 with
// lyrics; `variant` 0..4 varies the tempo map, counts and texts.
std::vector<uint8_t> exampleSong(int variant);

// The control header in front of the song for the whole-song target.
struct PlayControls {
    uint32_t sampleRate = 44100;
    int32_t seekMs = 0;         // the second play starts here (negative allowed)
    uint32_t firstFrames = 0;   // rendered after play(0)
    uint32_t secondFrames = 0;  // rendered after the seek
    uint32_t blockFrames = 1;   // frames per render call, 1..kMaxBlockFrames
    bool mix = false;           // render adding into the buffer
    int32_t fadeMs = 0;         // stop with this fade before the seek, when not 0
    bool inRange = false;       // limit the parameters to 0..128 and require finite output
};

constexpr size_t kPlayHeaderBytes = 16;
// Longer song inputs are cut to this many bytes (and then refused by the
// checked loader): opening, seeking and listing go through the whole song, so
// its size bounds an input's cost. The seeds are far smaller.
constexpr size_t kMaxSongInputBytes = 16384;
constexpr uint32_t kMaxRenderFrames = 1024;  // per phase (several control frames): keeps an input near a millisecond
constexpr uint32_t kMaxBlockFrames = 1024;
constexpr uint32_t kHighestRate = 96468;     // the highest rate whose control frame fits 280 frames

// Reads the header (which must be kPlayHeaderBytes long).
PlayControls readPlayControls(const uint8_t* header);
// The header bytes that read back as these controls (for the seeds).
std::vector<uint8_t> writePlayControls(const PlayControls& controls);

}  // namespace zimblo::fuzz
