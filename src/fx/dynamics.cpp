#include "fx/dynamics.h"

#include <algorithm>
#include <cmath>

#include "dsp/maths.h"
#include "dsp/numerics.h"

namespace zimblo::fx {

namespace {

// Lookahead frames per unit of d3: 1 ms at 44.1 kHz, deliberately not rate-scaled.
constexpr float kLookaheadFramesPerUnit = 44.1f;
// Threshold at d4 = 128 (+18 dB); 10 octaves below at d4 = 0.
constexpr float kThresholdTop = 8.0f;

float peakStep(float input, float envelope) {
    const float magnitude = std::fabs(input);
    const float decayed = envelope * Dynamics::kPeakDecay + kDenormalGuard;
    return magnitude > decayed ? magnitude : decayed;
}

// Rounding can leave the running sum slightly below zero after loud passages;
// such a window is silent, so its level is 0 rather than the NaN of sqrt.
float rmsLevel(float sum, float invThreshold) {
    const float root = sum > 0.0f ? std::sqrt(sum) : 0.0f;
    return root * Dynamics::kRmsNormalise * invThreshold;
}

// One side's gain pass over the block: the delayed sample out of the line, this
// frame's input into it, then the smoothed gain applied. Returns the advanced
// slot. `side` selects the left or right half of each pair.
template <float StereoFrame::*side>
int32_t applyGain(StereoFrame* buffer, const StereoFrame* levels, int n, StereoFrame* line,
                  int32_t index, int32_t lookahead, float invThreshold, float ratio, float attack,
                  float release, float outGain, float& gainState) {
    float gain = gainState;
    for (int i = 0; i < n; ++i) {
        const float delayed = line[index].*side;
        line[index].*side = buffer[i].*side * invThreshold;
        index = index + 1;
        if (index > lookahead) index = 0;

        const float level = levels[i].*side;
        const float target = level < 1.0f ? 1.0f : 1.0f / (1.0f + (level - 1.0f) * ratio);
        const float coefficient = target < gain ? attack : release;
        gain = gain + (target - gain) * coefficient;
        buffer[i].*side = delayed * outGain * gain;
    }
    gainState = gain;
    return index;
}

}  // namespace

void Dynamics::reset() { mode = 2; }

void Dynamics::setParams(const float* d) {
    // Two's-complement arithmetic on the rounded switches: d0 = 0 wraps to all
    // ones and lands on the bypass bit.
    const uint32_t kind = static_cast<uint32_t>(roundToInt(d[0]));
    const uint32_t separate = static_cast<uint32_t>(roundToInt(d[1]));
    mode = asSigned(((kind - 1u) & 5u) + 2u * separate);

    if (mode != lastMode) {
        lastMode = mode;
        peakL = 0.0f;
        peakR = 0.0f;
        rmsSumL = 0.0f;
        rmsSumR = 0.0f;
        rmsWindow.fill(0.0f);
        gainL = 1.0f;
        gainR = 1.0f;
    }

    // Values beyond the line (d3 above 129, as the master's bytes allow) are held
    // at its last slot; a NaN or negative d3 means no lookahead.
    lookahead = std::clamp(roundToInt(d[3] * kLookaheadFramesPerUnit), 0, kMaxLookahead);

    const float threshold = kThresholdTop * thresholdCurve(d[4] / 128.0f);
    invThreshold = 1.0f / threshold;
    const float outputGain = outputCurve((d[8] - 64.0f) / 16.0f);
    outGain = roundToInt(d[2]) == 0 ? outputGain * threshold : outputGain;
    ratio = d[5] / 128.0f;
    attack = attackCurve(-12.0f * d[6] / 128.0f);
    release = releaseCurve(-16.0f * d[7] / 128.0f);
}

void Dynamics::process(StereoFrame* buffer, int n, StereoFrame* levelBuffer) {
    if ((mode & kBypassBit) != 0) return;

    const float threshold = invThreshold;
    switch (static_cast<Detector>(mode & 3)) {
        case Detector::LinkedPeak: {
            float env = peakL;
            for (int i = 0; i < n; ++i) {
                env = peakStep((buffer[i].left + buffer[i].right) * 0.5f, env);
                const float level = env * threshold;
                levelBuffer[i] = {level, level};
            }
            peakL = env;
            break;
        }
        case Detector::StereoPeak: {
            float envL = peakL;
            float envR = peakR;
            for (int i = 0; i < n; ++i) {
                envL = peakStep(buffer[i].left, envL);
                envR = peakStep(buffer[i].right, envR);
                levelBuffer[i] = {envL * threshold, envR * threshold};
            }
            peakL = envL;
            peakR = envR;
            break;
        }
        case Detector::LinkedRms: {
            float* window = rmsWindow.data();
            float sum = rmsSumL;
            uint32_t k = static_cast<uint32_t>(rmsIndex);
            for (int i = 0; i < n; ++i) {
                const float s = (buffer[i].left + buffer[i].right) * 0.5f + kDenormalGuard;
                const float square = s * s;
                sum = sum - window[k] + square;
                window[k] = square;
                const float level = rmsLevel(sum, threshold);
                levelBuffer[i] = {level, level};
                k = (k + 1u) & (kRmsFrames - 1);
            }
            rmsSumL = sum;
            rmsIndex = asSigned(k);
            break;
        }
        case Detector::StereoRms: {
            float* window = rmsWindow.data();
            float sumL = rmsSumL;
            float sumR = rmsSumR;
            uint32_t k = static_cast<uint32_t>(rmsIndex);
            for (int i = 0; i < n; ++i) {
                const float sL = buffer[i].left + kDenormalGuard;
                const float sR = buffer[i].right + kDenormalGuard;
                const float squareL = sL * sL;
                const float squareR = sR * sR;
                sumL = sumL - window[2 * k] + squareL;
                window[2 * k] = squareL;
                sumR = sumR - window[2 * k + 1] + squareR;
                window[2 * k + 1] = squareR;
                levelBuffer[i] = {rmsLevel(sumL, threshold), rmsLevel(sumR, threshold)};
                k = (k + 1u) & (kRmsFrames - 1);
            }
            rmsSumL = sumL;
            rmsSumR = sumR;
            rmsIndex = asSigned(k);
            break;
        }
    }

    // Both passes start from the same slot; lookIndex stays within 0..kMaxLookahead
    // because it only ever climbs to a lookahead that is itself limited, and a
    // slot above a lookahead that has just shrunk is read once before the wrap.
    const int32_t start = lookIndex;
    applyGain<&StereoFrame::left>(buffer, levelBuffer, n, lookLine.data(), start, lookahead,
                                  threshold, ratio, attack, release, outGain, gainL);
    lookIndex = applyGain<&StereoFrame::right>(buffer, levelBuffer, n, lookLine.data(), start,
                                               lookahead, threshold, ratio, attack, release,
                                               outGain, gainR);
}

}  // namespace zimblo::fx
