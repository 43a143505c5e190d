#include "dsp/rate_constants.h"

#include <algorithm>

#include "dsp/maths.h"
#include "dsp/numerics.h"

namespace zimblo::dsp {

namespace {
// The struct's defaults are the 44100 Hz values, so constant initialisation gives them
// before any other code can run.
constinit RateConstants gRates{};
}

RateConstants computeRateConstants(uint32_t sampleRate) {
    RateConstants c;
    const float sr = static_cast<float>(sampleRate);
    c.sampleRate = sampleRate;
    c.baseIncrement = 261.6255798339844f * 2147483648.0f / sr;
    c.rateScale = 44100.0f / sr;
    c.dcCoefficient = 1.0f - 126.0f / sr;
    const double w0 = 2.0 * 3.14159265358979323846 * 150.0 / static_cast<double>(sampleRate);
    c.eqSine = static_cast<float>(sinNearest(w0));
    c.eqCosine = static_cast<float>(cosNearest(w0));
    c.frameLength = roundToInt(sr * 128.0f / 44100.0f + 0.5f);
    // Every buffer holds kMaxFrameLength frames: rates above 96468 Hz are outside the design and
    // are held to that length rather than overrun it; a rate of 0 still gets a one-frame frame.
    c.frameLength = std::clamp(c.frameLength, 1, kMaxFrameLength);
    c.inverseFrameLength = 1.0f / static_cast<float>(c.frameLength);
    return c;
}

const RateConstants& rates() { return gRates; }

void setSampleRate(uint32_t sampleRate) { gRates = computeRateConstants(sampleRate); }

}  // namespace zimblo::dsp
