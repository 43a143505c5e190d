// A whole song: the checked open, play from the start, render, stop (with a
// fade, when the header asks), seek to a time anywhere in or beyond the song,
// render again. Input: a 16-byte control header (fuzz_songs.h) and the song
// (at most kMaxSongInputBytes). Each render phase is at most kMaxRenderFrames
// frames and 8 control frames long, so that an input stays cheap.
//
// A song the checked loader accepts must render without crashing, hanging or
// reading outside its bytes, at every rate the renderer accepts (1 Hz to
// 96468 Hz) and in render calls of any size. The first phase is rendered
// twice, in the header's block size and in another one: the frames are the
// same bit for bit, since the player splits every block at its events and the
// engine serves frames from whole control frames.
//
// When the header's in-range flag is set, every patch parameter and every byte
// of the effect block is first limited to the 0..128 scale; at the rates the
// player should accept (8000 Hz and up) such a song must then render only
// finite samples: within these few thousand frames only a filter or feedback
// loop that grows exponentially can reach infinity.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dsp/free_running_counter.h"
#include "fuzz_songs.h"
#include "player/player.h"

using namespace zimblo;
using namespace zimblo::player;

namespace {

// Renders `frames` frames into out[0..frames) in calls of `block` frames.
void renderFrames(Player& player, StereoFrame* out, uint32_t frames, uint32_t block, bool mix) {
    while (frames != 0) {
        const uint32_t n = frames < block ? frames : block;
        player.render(out, n, mix ? 1 : 0);
        out += n;
        frames -= n;
    }
}

void fill(std::vector<StereoFrame>& frames) {
    for (size_t i = 0; i < frames.size(); ++i)
        frames[i] = StereoFrame{0.25f * static_cast<float>(i % 7), -0.125f * static_cast<float>(i % 5)};
}

constexpr uint32_t kLowestCheckedRate = 8000;
// At low rates a control frame is a few frames long, and each costs a pass
// over every channel: a phase renders at most this many of them.
constexpr uint32_t kMaxControlFramesPerPhase = 8;
constexpr uint8_t kTopOfScale = 128;

// The song with its parameters limited to 0..128: the patch bytes before each
// voice limit, and the effect block. Offsets come from the open Player.
std::vector<uint8_t> limitedToScale(const Player& player, const uint8_t* song, size_t size) {
    std::vector<uint8_t> copy(song, song + size);
    auto limit = [&](const uint8_t* from, size_t count) {
        const size_t start = static_cast<size_t>(from - song);
        for (size_t i = start; i < start + count; ++i) copy[i] = std::min(copy[i], kTopOfScale);
    };
    limit(player.effectBlock, player.effectBlockSize);
    const synth::PatchBank& bank = player.patchBank;
    for (uint32_t program = 0; program < synth::programCount(bank); ++program)
        limit(bank.data + readU32(bank.data + 4 * size_t{program}), synth::kVoiceLimitOffset);
    return copy;
}

void requireFinite(const StereoFrame* frames, uint32_t count, uint32_t rate, const char* phase) {
    for (uint32_t i = 0; i < count; ++i) {
        if (std::isfinite(frames[i].left) && std::isfinite(frames[i].right)) continue;
        std::fprintf(stderr, "an in-range song rendered a non-finite sample at %u Hz, frame %u of the %s\n", rate,
                     i, phase);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Player* const player = [] {
        dsp::pinFreeRunningCounter(0x5eed);
        return new Player();
    }();
    static std::vector<StereoFrame> first(fuzz::kMaxRenderFrames);
    static std::vector<StereoFrame> again(fuzz::kMaxRenderFrames);

    if (size < fuzz::kPlayHeaderBytes) return 0;
    size = std::min(size, fuzz::kPlayHeaderBytes + fuzz::kMaxSongInputBytes);
    fuzz::PlayControls c = fuzz::readPlayControls(data);
    const uint8_t* song = data + fuzz::kPlayHeaderBytes;
    size_t songBytes = size - fuzz::kPlayHeaderBytes;

    if (!player->openChecked(song, songBytes, c.sampleRate, nullptr)) return 0;
    const uint32_t phaseFrames = kMaxControlFramesPerPhase * static_cast<uint32_t>(player->synth.frameLength());
    c.firstFrames = std::min(c.firstFrames, phaseFrames);
    c.secondFrames = std::min(c.secondFrames, phaseFrames);
    std::vector<uint8_t> limited;
    const bool checkFinite = c.inRange && c.sampleRate >= kLowestCheckedRate;
    if (c.inRange) {
        limited = limitedToScale(*player, song, songBytes);
        song = limited.data();
        if (!player->openChecked(song, songBytes, c.sampleRate, nullptr)) {
            std::fprintf(stderr, "limiting the parameters made the song unreadable\n");
            std::abort();
        }
    }
    fill(first);
    player->play(0);
    renderFrames(*player, first.data(), c.firstFrames, c.blockFrames, c.mix);
    if (checkFinite) requireFinite(first.data(), c.firstFrames, c.sampleRate, "first render");

    if (c.firstFrames != 0) {
        if (!player->openChecked(song, songBytes, c.sampleRate, nullptr)) {
            std::fprintf(stderr, "a song that opened once was refused the second time\n");
            std::abort();
        }
        fill(again);
        player->play(0);
        const uint32_t otherBlock = 1 + (c.blockFrames * 7 + 100) % fuzz::kMaxBlockFrames;
        renderFrames(*player, again.data(), c.firstFrames, otherBlock, c.mix);
        if (std::memcmp(first.data(), again.data(), sizeof(StereoFrame) * c.firstFrames) != 0) {
            std::fprintf(stderr, "blocks of %u and %u frames rendered different frames\n", c.blockFrames, otherBlock);
            std::abort();
        }
    }

    if (c.fadeMs != 0) {
        player->stop(c.fadeMs);
        renderFrames(*player, first.data(), c.firstFrames / 2, c.blockFrames, c.mix);
    }
    player->play(c.seekMs);
    renderFrames(*player, first.data(), c.secondFrames, c.blockFrames, c.mix);
    if (checkFinite) requireFinite(first.data(), c.secondFrames, c.sampleRate, "render after the seek");
    player->close();

    // Closed: a render yields silence.
    player->render(first.data(), 1, 0);
    if (first[0].left != 0.0f || first[0].right != 0.0f) {
        std::fprintf(stderr, "a closed player rendered sound\n");
        std::abort();
    }
    return 0;
}
