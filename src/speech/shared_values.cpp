#include "speech/shared_values.h"

#include "dsp/maths.h"

namespace zimblo::speech {

namespace {

constexpr uint32_t kDefaultSampleRate = 44100;

SingerSharedValues makeDefaults() {
    SingerSharedValues values;
    const double twoPi = dsp::kTwoPiDouble;  // 8·atan(1) in double
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
    const double twoPi = dsp::kTwoPiDouble;  // 8·atan(1) in double
    gShared.sampleRate = sampleRate;
    gShared.angleStep = static_cast<float>(twoPi / static_cast<double>(sampleRate));
    gShared.bandwidthFactor = gShared.angleStep * -0.5f;
}

}  // namespace zimblo::speech
