#include "playlist.h"

namespace zimblo::play {

bool Playlist::advanceAtEnd() {
    if (current + 1 < count) {
        ++current;
        return true;
    }
    if (!loop) return false;
    current = 0;
    return true;
}

void Playlist::next() { current = count > 0 ? (current + 1) % count : 0; }

void Playlist::previous() { current = count > 0 ? (current + count - 1) % count : 0; }

}  // namespace zimblo::play
