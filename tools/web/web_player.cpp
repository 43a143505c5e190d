#include "web_player.h"

#include <array>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "data/embedded_song.h"
#include "dsp/free_running_counter.h"
#include "player/player.h"
#include "player/song_format.h"

namespace {

using zimblo::StereoFrame;
using zimblo::player::Player;
using zimblo::player::PlayState;

// Microseconds per quarter before the tempo map's first entry.
constexpr double kDefaultTempoMicroseconds = 500000.0;

Player gPlayer;
// Bytes of a song file, allocated without exceptions: a file too large for the
// memory gets no buffer instead of ending the program.
struct SongBytes {
    std::unique_ptr<uint8_t[]> data;
    size_t size = 0;
};

// The open song's bytes (the Player reads them in place) and the bytes the
// caller fills for the next open; swapped when that open succeeds.
SongBytes gSongBytes;
SongBytes gIncomingBytes;
const uint8_t* gSong = nullptr;
std::string gMessage;

std::array<StereoFrame, kWebMaxRenderFrames> gFrames{};
std::array<float, kWebMeterValues> gLevels{};
int32_t gStartMs = 0;
uint64_t gFramesPlayed = 0;

bool engineRenders() {
    return gPlayer.isOpen != 0 && gPlayer.state != PlayState::Stopped;
}

uint32_t openSong(const uint8_t* song, size_t size, uint32_t rate) {
    gPlayer.close();
    gSong = nullptr;
    gStartMs = 0;
    gFramesPlayed = 0;
    if (!gPlayer.openChecked(song, size, rate, &gMessage)) return 0;
    gSong = song;
    return 1;
}

}  // namespace

extern "C" {

void zimblo_pin_seed(uint32_t seed) { zimblo::dsp::pinFreeRunningCounter(seed); }

uint32_t zimblo_open_embedded(uint32_t rate) {
    return openSong(zimblo::data::kEmbeddedSong, zimblo::data::kEmbeddedSongSize, rate);
}

uint8_t* zimblo_song_buffer(uint32_t size) {
    gIncomingBytes = SongBytes{};
    gIncomingBytes.data.reset(new (std::nothrow) uint8_t[size == 0 ? 1 : size]);
    if (gIncomingBytes.data) gIncomingBytes.size = size;
    return gIncomingBytes.data.get();
}

uint32_t zimblo_open_buffer(uint32_t size, uint32_t rate) {
    if (size > gIncomingBytes.size) size = static_cast<uint32_t>(gIncomingBytes.size);
    if (!openSong(gIncomingBytes.data.get(), size, rate)) return 0;
    std::swap(gSongBytes, gIncomingBytes);  // the bytes stay where the Player points
    gIncomingBytes = SongBytes{};
    return 1;
}

const char* zimblo_message() { return gMessage.c_str(); }

void zimblo_play(int32_t startMs) {
    if (gSong == nullptr) return;
    gPlayer.play(startMs < 0 ? 0 : startMs);
    gStartMs = startMs < 0 ? 0 : startMs;
    gFramesPlayed = 0;
}

void zimblo_stop() {
    gPlayer.stop(0);
    gStartMs = 0;
    gFramesPlayed = 0;
}

float* zimblo_render(uint32_t count) {
    if (count > kWebMaxRenderFrames) count = kWebMaxRenderFrames;
    const bool counted = engineRenders();
    gPlayer.render(gFrames.data(), count, 0);
    if (counted) gFramesPlayed += count;
    return &gFrames[0].left;
}

float* zimblo_render_buffer() { return &gFrames[0].left; }

uint32_t zimblo_state() {
    return gPlayer.isOpen != 0 ? static_cast<uint32_t>(gPlayer.state) : 0u;
}

double zimblo_position_ms() {
    if (gSong == nullptr || gPlayer.sampleRate == 0) return 0.0;
    return gStartMs + static_cast<double>(gFramesPlayed) * 1000.0 / gPlayer.sampleRate;
}

double zimblo_length_ms() {
    if (gSong == nullptr || gPlayer.ticksPerQuarter == 0) return 0.0;
    const Player& p = gPlayer;
    const uint32_t count = p.tempoCount;
    const double ticksPerQuarter = p.ticksPerQuarter;
    double microseconds = 0.0;
    double tempo = kDefaultTempoMicroseconds;
    uint64_t tick = 0;
    uint64_t entryTick = 0;
    for (uint32_t i = 0; i < count; ++i) {
        entryTick += zimblo::player::readDelta(p.tempoMap + i, count);
        if (entryTick >= p.songLength) break;
        microseconds += static_cast<double>(entryTick - tick) * tempo / ticksPerQuarter;
        tick = entryTick;
        tempo = zimblo::player::readU32(p.tempoMap + 3 * size_t{count} + 4 * size_t{i});
    }
    if (p.songLength > tick) microseconds += static_cast<double>(p.songLength - tick) * tempo / ticksPerQuarter;
    return microseconds / 1000.0;
}

float* zimblo_levels() {
    // A stopped player shows no sound, whatever the meters held when it stopped.
    if (!engineRenders()) {
        gLevels.fill(0.0f);
        return gLevels.data();
    }
    for (int channel = 0; channel < zimblo::synth::kChannelCount; ++channel)
        gPlayer.synth.channelLevel(channel, gLevels[2 * channel], gLevels[2 * channel + 1]);
    gPlayer.synth.masterLevel(gLevels[kWebMeterValues - 2], gLevels[kWebMeterValues - 1]);
    return gLevels.data();
}

}  // extern "C"
