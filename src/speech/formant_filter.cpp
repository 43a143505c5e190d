#include "speech/formant_filter.h"

#include <algorithm>
#include <bit>

#include "speech/shared_values.h"

namespace zimblo::speech {

namespace {

constexpr uint32_t kNoiseMultiplier = 196314165u;
constexpr uint32_t kNoiseIncrement = 907633515u;
// Exponent bits of 2.0: the top 23 seed bits as a mantissa give [2, 4).
constexpr uint32_t kNoiseExponentBits = 0x40000000u;
constexpr float kNoiseCentre = 3.0f;
constexpr float kNoisePole = 0.75f;
constexpr float kNoiseGain = 0.25f;
// One-pole high-pass coefficient: corner ≈ 0.012·fs/2π, 84 Hz at 44100 Hz.
constexpr float kHighpassCoefficient = 0.012f;

using Coefficients = std::array<float, kCoefficientCount>;
// The ramp runs over whole groups of four floats so that it vectorises; the
// three padding values stay 0.
constexpr int kPaddedCoefficientCount = 28;
using PaddedCoefficients = std::array<float, kPaddedCoefficientCount>;

struct NoiseState {
    uint32_t seed;
    float lowpass;

    float next() {
        seed = seed * kNoiseMultiplier + kNoiseIncrement;
        const float white = std::bit_cast<float>((seed >> 9) | kNoiseExponentBits) - kNoiseCentre;
        lowpass = white + kNoisePole * lowpass;
        return kNoiseGain * lowpass;
    }
};

// Positions within the 25 coefficients.
constexpr int kVoicingGainIndex = 3 * kResonatorCount;
constexpr int kAspirationGainIndex = kVoicingGainIndex + 1;
constexpr int kFricationGainIndex = kVoicingGainIndex + 2;
constexpr int kBypassGainIndex = kVoicingGainIndex + 3;

inline float tickAt(const PaddedCoefficients& k, int resonator, Resonator& state, float x) {
    const CoefficientTriple triple{k[3 * resonator], k[3 * resonator + 1], k[3 * resonator + 2]};
    return tick(triple, state, x);
}

}  // namespace

float FormantFilter::noise() {
    NoiseState state{noiseSeed, noiseLowpass};
    const float value = state.next();
    noiseSeed = state.seed;
    noiseLowpass = state.lowpass;
    return value;
}

void FormantFilter::render(StereoFrame* frames, int n) {
    if (n <= 0) return;
    SingerSharedValues& shared = singerShared();

    const Coefficients start = std::bit_cast<Coefficients>(current);
    const Coefficients goal = std::bit_cast<Coefficients>(target);
    const float inverseCount = 1.0f / static_cast<float>(static_cast<uint32_t>(n));
    for (int i = 0; i < kCoefficientCount; ++i) {
        shared.increments[i] = (goal[i] - start[i]) * inverseCount;
    }
    alignas(16) PaddedCoefficients k{};
    alignas(16) PaddedCoefficients increments{};
    std::copy(start.begin(), start.end(), k.begin());
    std::copy(shared.increments.begin(), shared.increments.end(), increments.begin());
    const CoefficientTriple outputTriple = shared.outputTriple;

    std::array<Resonator, kResonatorCount> bank = resonators;
    Resonator output = outputResonator;
    NoiseState noiseState{noiseSeed, noiseLowpass};
    float lastVoiced = previousVoiced;
    float h1 = highpass1;
    float h2 = highpass2;

    for (int frame = 0; frame < n; ++frame) {
        for (int i = 0; i < kPaddedCoefficientCount; ++i) k[i] += increments[i];

        const float x = frames[frame].left;
        const float voiced = k[kVoicingGainIndex] * x + k[kAspirationGainIndex] * noiseState.next();
        float acc = tickAt(k, 0, bank[0], voiced) + tickAt(k, 1, bank[1], voiced);
        const float fric = k[kFricationGainIndex] * noiseState.next() + voiced - lastVoiced;
        lastVoiced = voiced;
        for (int r = 2; r < kResonatorCount; ++r) acc = tickAt(k, r, bank[r], fric) - acc;
        const float s = k[kBypassGainIndex] * fric - acc;

        const float d = s - h1;
        h1 = h1 + kHighpassCoefficient * d;
        const float e = d - h2;
        h2 = h2 + kHighpassCoefficient * e;
        const float out = tick(outputTriple, output, e) - e;

        frames[frame].left = out;
        frames[frame].right = out;
    }

    Coefficients end{};
    std::copy(k.begin(), k.begin() + kCoefficientCount, end.begin());
    current = std::bit_cast<CoefficientSet>(end);
    resonators = bank;
    outputResonator = output;
    noiseSeed = noiseState.seed;
    noiseLowpass = noiseState.lowpass;
    previousVoiced = lastVoiced;
    highpass1 = h1;
    highpass2 = h2;
}

}  // namespace zimblo::speech
