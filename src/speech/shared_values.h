// The singer's process-wide values: one process sings at one sample rate.
//
// angle step = 2π/fs (rad per sample per Hz), bandwidth factor = −π/fs
// (the exponent per Hz of bandwidth), the output resonator's triple (shared
// by every singer) and the per-sample ramp increments of one render call.
// Until a rate is set the steps hold their 44100 Hz values, so the singer can
// be used on its own; the output triple is computed by the first initialise.
#pragma once

#include <array>
#include <cstdint>

#include "speech/coefficient_set.h"
#include "speech/resonator.h"

namespace zimblo::speech {

struct SingerSharedValues {
    uint32_t sampleRate = 0;
    float angleStep = 0.0f;
    float bandwidthFactor = 0.0f;
    CoefficientTriple outputTriple{};
    std::array<float, kCoefficientCount> increments{};
};

SingerSharedValues& singerShared();

// Stores the rate and derives the angle step and the bandwidth factor.
void setSingerSampleRate(uint32_t sampleRate);

}  // namespace zimblo::speech
