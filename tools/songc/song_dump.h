// A readable listing of a song file: the header, the tempo map, each track's
// lane counts and events, the effect bytes with their roles, every patch with
// its named parameters and routes, and the texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zimblo::songc {

// Throws InputError ("NAME: <what is wrong> (offset N)") for data the checked
// loader refuses.
std::string dumpSong(const uint8_t* data, size_t length, const std::string& name);

// "C4" for 60, "F#3" for 54 (octaves from −1: C-1 is 0).
std::string noteName(int note);

}  // namespace zimblo::songc
