#include "speech/shared_values.h"

#include <cmath>

namespace zimblo::speech {

namespace {

constexpr uint32_t kDefaultSampleRate = 44100;

SingerSharedValues makeDefaults() {
    SingerSharedValues values;
    const double twoPi = 8.0 * std::atan(1.0);
    values.sampleRate = kDefaultSampleRate;
    values.angleStep = static_cast<float>(twoPi / static_cast<double>(kDefaultSampleRate));
    values.bandwidthFactor = values.angleStep * -0.5f;
    return values;
}

SingerSharedValues gShared = makeDefaults();

}  // namespace

SingerSharedValues& singerShared() { return gShared; }

void setSingerSampleRate(uint32_t sampleRate) {
    // 2π as 8·atan(1), divided in double and rounded once.
    const double twoPi = 8.0 * std::atan(1.0);
    gShared.sampleRate = sampleRate;
    gShared.angleStep = static_cast<float>(twoPi / static_cast<double>(sampleRate));
    gShared.bandwidthFactor = gShared.angleStep * -0.5f;
}

}  // namespace zimblo::speech
