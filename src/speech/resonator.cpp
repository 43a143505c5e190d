#include "speech/resonator.h"

#include <bit>
#include <cstdint>


#include "dsp/maths.h"
#include "speech/shared_values.h"

namespace zimblo::speech {

namespace {
constexpr float kUnityLevel = 70.0f;
constexpr float kLevelsPerDoubling = 6.0f;
}  // namespace

float levelToGain(float level) { return dsp::exp2((level - kUnityLevel) / kLevelsPerDoubling); }

void setResonator(CoefficientTriple& triple, float frequency, float bandwidth, float gain, ResonatorPoles* poles) {
    const SingerSharedValues& shared = singerShared();
    const auto same = [](float x, float y) { return std::bit_cast<uint32_t>(x) == std::bit_cast<uint32_t>(y); };
    if (poles != nullptr && poles->valid && same(poles->frequency, frequency) && same(poles->bandwidth, bandwidth) &&
        same(poles->angleStep, shared.angleStep) && same(poles->bandwidthFactor, shared.bandwidthFactor)) {
        triple.b = poles->b;
        triple.c = poles->c;
    } else {
        // The pole radius stays in double: B and C are rounded from it separately.
        const double radius = dsp::expNearest(static_cast<double>(shared.bandwidthFactor * bandwidth));
        const float theta = shared.angleStep * frequency;
        triple.b = static_cast<float>(2.0 * radius * dsp::cosNearest(static_cast<double>(theta)));
        triple.c = static_cast<float>(-(radius * radius));
        if (poles != nullptr) {
            *poles = ResonatorPoles{frequency, bandwidth, shared.angleStep, shared.bandwidthFactor,
                                    triple.b, triple.c, true};
        }
    }
    triple.a = gain * ((1.0f - triple.b) - triple.c);
}

}  // namespace zimblo::speech
