// Songs and players for the player tests, built with the SongWriter.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "player/player.h"
#include "player/song_writer.h"

namespace zimblo::player::test {

// The writer's song; with ZIMBLO_EXPORT_SONGS naming a directory, also written there as
// song-<hash>.song, so that other builds can render the very songs the tests play.
inline std::vector<uint8_t> builtSong(const SongWriter& writer) {
    std::vector<uint8_t> bytes = writer.build();
    if (const char* dir = std::getenv("ZIMBLO_EXPORT_SONGS"); dir != nullptr && *dir != '\0') {
        uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a
        for (const uint8_t b : bytes) hash = (hash ^ b) * 0x100000001B3ull;
        char name[40];
        std::snprintf(name, sizeof name, "/song-%016llx.song", static_cast<unsigned long long>(hash));
        if (std::FILE* file = std::fopen((std::string(dir) + name).c_str(), "wb")) {
            std::fwrite(bytes.data(), 1, bytes.size(), file);
            std::fclose(file);
        }
    }
    return bytes;
}

// Oscillator 1 a sine at gain 1/2, pan centre; envelope 1 attack 0, decay 64
// to sustain 100, release 64; effects off; channel volume 128.
inline PatchDescription sinePatch() {
    PatchDescription p;
    for (int i : {0, 1, 4, 5, 7, 27, 33, 35, 36}) p.voice[i] = 64;
    p.voice[2] = 3;  // sine
    p.voice[34] = 100;
    p.voice[37] = 127;
    p.channel[0] = 128;
    p.channel[13] = p.channel[14] = 64;  // chorus off
    p.voiceLimit = 8;
    return p;
}

// The sine patch with its gain driven by a fast sample-and-hold LFO, so that
// its output depends on the free-running counter the LFOs are seeded from.
inline PatchDescription sampleAndHoldPatch() {
    PatchDescription p = sinePatch();
    p.voice[44] = 4;
    p.voice[47] = 120;
    p.voice[50] = 127;
    p.routes.push_back(synth::ModRoute{10, 127, 7});  // LFO 1 → oscillator 1 gain
    return p;
}

// 128 ticks per quarter; reverb silent, delay off, high cut and master
// dynamics bypassed; the given patches as programs 0, 1, ...
inline SongWriter writerWith(std::vector<PatchDescription> patches = {sinePatch()}) {
    SongWriter w;
    std::vector<uint8_t> effects(kGlobalParamBytes, 0);
    effects[0] = 63;
    effects[4] = effects[5] = 64;
    effects[12] = 127;
    w.setEffectBlock(effects);
    for (PatchDescription& p : patches) w.addPatch(std::move(p));
    return w;
}

// On the heap (the record holds the whole Synth), in milliseconds, not open.
inline std::unique_ptr<Player> newPlayer() { return std::make_unique<Player>(); }

inline std::vector<StereoFrame> renderBlocks(Player& player, uint32_t frames, uint32_t block) {
    std::vector<StereoFrame> out(frames);
    for (uint32_t done = 0; done < frames; done += block) player.render(&out[done], std::min(block, frames - done), 0);
    return out;
}

// Bit for bit.
inline bool sameFrames(const std::vector<StereoFrame>& a, const std::vector<StereoFrame>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(StereoFrame)) == 0;
}

// The largest magnitude in frames [from, to).
inline float peak(const std::vector<StereoFrame>& frames, size_t from = 0, size_t to = SIZE_MAX) {
    float largest = 0.0f;
    for (size_t i = from; i < std::min(to, frames.size()); ++i)
        largest = std::max({largest, std::fabs(frames[i].left), std::fabs(frames[i].right)});
    return largest;
}

}  // namespace zimblo::player::test
