// The 69 formant frames every phoneme is made of, decoded from a compact
// delta form when the singer initialises.
//
// Compact form: one scale byte per parameter (10 or 20 for the frequencies
// and bandwidths, 1 for levels, duration and rank) and 19 × 69 signed deltas,
// parameter-major. One running sum, never reset between parameters:
//   sum += delta;  frame[f][p] = sum · scale[p]
// Storing steps between neighbours keeps every value in one signed byte.
#pragma once

#include <array>
#include <cstdint>

#include "speech/formant_frame.h"

namespace zimblo::speech {

constexpr int kFrameCount = 69;
// Frame 18: all sources and levels off; where every line starts and ends.
constexpr int kSilenceFrame = 18;

using FrameTable = std::array<FormantFrame, kFrameCount>;

// The compact form itself.
extern const std::array<uint8_t, kFrameParameterCount> kFrameScales;
extern const std::array<int8_t, kFrameParameterCount * kFrameCount> kFrameDeltas;

// Decodes the compact form into a table.
void decodeFrameTable(FrameTable& table);

// The process-wide decoded table the singers read (all zero until the first
// initialisation decodes it; decoding again writes the same values).
const FrameTable& frameTable();
void decodeSharedFrameTable();

}  // namespace zimblo::speech
