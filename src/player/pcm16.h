// Float samples to 16-bit PCM, as the audio output writes them.
//
//   s16 = clamp(roundToInt(sample · gain), −32600, +32600),  gain = 32768 at full volume
//
// Rounding is to nearest, ties to even; the clamp is ±32600, not ±32767. A
// product outside the 32-bit range, or a NaN, converts to INT32_MIN and so
// comes out as −32600 whatever its sign.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dsp/numerics.h"

namespace zimblo::player {

constexpr float kPcm16Gain = 32768.0f;
constexpr int32_t kPcm16Limit = 32600;

inline int16_t toPcm16(float sample, float gain = kPcm16Gain) {
    int32_t value = roundToInt(sample * gain);
    if (value > kPcm16Limit) value = kPcm16Limit;
    if (value < -kPcm16Limit) value = -kPcm16Limit;
    return static_cast<int16_t>(value);
}

inline void convertToPcm16(const float* samples, int16_t* destination, size_t sampleCount,
                           float gain = kPcm16Gain) {
    for (size_t i = 0; i < sampleCount; ++i) destination[i] = toPcm16(samples[i], gain);
}

}  // namespace zimblo::player
