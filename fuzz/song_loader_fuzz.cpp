// The checked song loader on arbitrary bytes.
//
// checkSong must judge any byte string without reading outside it, and the
// checked open must agree with it: it opens exactly the songs checkSong
// accepts, and then every lane, block and text the loader recorded lies inside
// the data. Anything else aborts, which the fuzzer reports.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "dsp/free_running_counter.h"
#include "player/player.h"

using namespace zimblo;
using namespace zimblo::player;

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "song loader invariant broken: %s\n", what);
    std::abort();
}

bool inside(const uint8_t* begin, const uint8_t* end, const uint8_t* p, uint64_t bytes) {
    return p >= begin && p <= end && bytes <= static_cast<uint64_t>(end - p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One Player for the whole run: it is megabytes large, and every open
    // starts it afresh.
    static Player* const player = [] {
        dsp::pinFreeRunningCounter(0x5eed);
        return new Player();
    }();

    const std::string verdict = checkSong(data, size);
    std::string error = "unchanged";
    const uint32_t opened = player->openChecked(data, size, 44100, &error);
    require((opened == 1) == verdict.empty(), "openChecked disagrees with checkSong");
    if (!opened) {
        require(error == verdict, "openChecked reports another error than checkSong");
        require(player->isOpen == 0, "a refused song left the player open");
        return 0;
    }
    require(error.empty(), "a song that opened left an error");

    const uint8_t* end = data + size;
    require(inside(data, end, player->tempoMap, uint64_t{kTempoEntryBytes} * player->tempoCount), "tempo map");
    for (const TrackLanes& lanes : player->tracks) {
        if (lanes[kNoteLane].count == 0) continue;
        for (int l = 0; l < kLanesPerTrack; ++l) {
            const uint64_t bytes = uint64_t{kDeltaPlanes + laneValuePlanes(l)} * lanes[l].count;
            require(inside(data, end, lanes[l].planes, bytes), "a lane runs outside the data");
        }
    }
    require(inside(data, end, player->effectBlock, player->effectBlockSize), "effect block");
    require(inside(data, end, player->patchBank.data, player->patchBank.size), "patch bank");
    for (const char* text : player->texts) {
        if (text == nullptr) continue;
        const auto* p = reinterpret_cast<const uint8_t*>(text);
        if (player->textBlock == nullptr) {
            require(std::strcmp(text, " ") == 0, "a default text is not a space");
            continue;
        }
        require(inside(data, end, p, 1), "a text starts outside the data");
        require(std::memchr(p, 0, static_cast<size_t>(end - p)) != nullptr, "a text has no terminator");
    }
    player->close();
    return 0;
}
