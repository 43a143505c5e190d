// Writes the embedded song's bytes to a file, so that the offline renderer can
// render exactly what the program plays.
//   zimblo-song-dump OUT
#include <cstdio>

#include "data/embedded_song.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: zimblo-song-dump OUT\n", stderr);
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const size_t size = zimblo::data::kEmbeddedSongSize;
    const bool written = std::fwrite(zimblo::data::kEmbeddedSong, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
