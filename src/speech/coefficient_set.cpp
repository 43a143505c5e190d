#include "speech/coefficient_set.h"

namespace zimblo::speech {

namespace {

// Where a resonator's frequency, bandwidth and level come from: a frame
// parameter, or a fixed value when the index is kFixed.
constexpr int kFixed = -1;

struct ResonatorSource {
    int frequencyIndex;
    float fixedFrequency;   // Hz
    int bandwidthIndex;
    float fixedBandwidth;   // Hz
    int levelIndex;
};

constexpr std::array<ResonatorSource, kResonatorCount> kResonatorSources = {{
    {kNasalFrequency, 0.0f, kFixed, 100.0f, kNasalLevel},
    {kF1Frequency, 0.0f, kF1Bandwidth, 0.0f, kF1Level},
    {kF2Frequency, 0.0f, kF2Bandwidth, 0.0f, kF2Level},
    {kF3Frequency, 0.0f, kF3Bandwidth, 0.0f, kF3Level},
    {kFixed, 3200.0f, kFixed, 200.0f, kF4Level},
    {kFixed, 4000.0f, kFixed, 500.0f, kHighLevel},
    {kFixed, 6000.0f, kFixed, 800.0f, kHighLevel},
}};

float valueOf(const FormantFrame& frame, int index, float fixedValue) {
    return index == kFixed ? fixedValue : frame[index];
}

float blend(float from, float to, float weight) { return from + (to - from) * weight; }

}  // namespace

void computeCoefficientSet(const FormantFrame& p, const FormantFrame& q, float weight,
                           float frequencyScale, CoefficientSet& out,
                           std::array<ResonatorPoles, kResonatorCount>* poles) {
    const FormantFrame from = p;
    const FormantFrame to = q;
    for (int i = 0; i < kResonatorCount; ++i) {
        const ResonatorSource& source = kResonatorSources[i];
        const float frequency =
            blend(valueOf(from, source.frequencyIndex, source.fixedFrequency),
                  valueOf(to, source.frequencyIndex, source.fixedFrequency), weight) *
            frequencyScale;
        const float bandwidth =
            blend(valueOf(from, source.bandwidthIndex, source.fixedBandwidth),
                  valueOf(to, source.bandwidthIndex, source.fixedBandwidth), weight);
        const float gain =
            levelToGain(blend(from[source.levelIndex], to[source.levelIndex], weight));
        setResonator(out.resonators[i], frequency, bandwidth, gain, poles != nullptr ? &(*poles)[i] : nullptr);
    }
    out.voicingGain = levelToGain(blend(from[kVoicingLevel], to[kVoicingLevel], weight));
    out.aspirationGain = levelToGain(blend(from[kAspirationLevel], to[kAspirationLevel], weight));
    out.fricationGain = levelToGain(blend(from[kFricationLevel], to[kFricationLevel], weight));
    out.bypassGain = levelToGain(blend(from[kBypassLevel], to[kBypassLevel], weight));
}

}  // namespace zimblo::speech
