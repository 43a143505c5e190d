// The song compiler's listing (zimblo-songc --dump) on arbitrary bytes: it
// must list what the checked loader accepts and refuse the rest with an
// InputError, never reading outside the data.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "player/song_format.h"
#include "song_dump.h"
#include "fuzz_songs.h"
#include "songc_support.h"

using namespace zimblo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size = std::min(size, fuzz::kMaxSongInputBytes);
    const bool wellFormed = player::checkSong(data, size).empty();
    bool listed = false;
    fuzz::expectOnlyInputErrors([&] {
        songc::dumpSong(data, size, "fuzz.song");
        listed = true;
    });
    if (listed != wellFormed) {
        std::fprintf(stderr, "the listing %s a song the checked loader %s\n", listed ? "accepts" : "refuses",
                     wellFormed ? "accepts" : "refuses");
        std::abort();
    }
    return 0;
}
