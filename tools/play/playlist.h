// The playlist: the order in which the files given are played.
//
// Files play in the order given. After the last one the list ends, or starts
// again from the first while looping. 'n' and 'p' step forward and back and
// wrap around at either end; stepping never ends the list.
#pragma once

namespace zimblo::play {

struct Playlist {
    int count = 1;
    int current = 0;
    bool loop = false;

    // The file after the current one when it has played out; false when the
    // list has ended (current is left as it was).
    bool advanceAtEnd();
    void next();
    void previous();
};

}  // namespace zimblo::play
