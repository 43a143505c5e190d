// The one song the program carries, as constant bytes in the song data format.
//
// The bytes are compiled at build time from the song's readable sources under songs/; this
// header is the only way the rest of the program reaches them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zimblo::data {

extern const uint8_t kEmbeddedSong[];
extern const size_t kEmbeddedSongSize;

}  // namespace zimblo::data
