#include "fx/mod_delay.h"

#include <cmath>
#include <cstring>

#include "dsp/maths.h"
#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

namespace zimblo::fx {
namespace {

// LFO phase step per frame at the top rate (q4 = 128): 20.268 Hz · 2^32 / 44100.
constexpr float kTopRateIncrement = 1973915.5f;
// The right LFO phase moves by 2·2^24 per parameter step: 64 steps are half a cycle.
constexpr float kPhaseOffsetStep = 16777216.0f;
// Depth at full modulation, in frames.
constexpr float kMaxDepthFrames = 1023.0f;
// The part of a line the base delay leaves for the modulation sweep.
constexpr int32_t kSweepReserve = 1023;

// Everything one frame of the tick needs, kept in locals by the loops.
struct TickState {
    float* left;
    float* right;
    uint32_t mask;
    uint32_t write;
    uint32_t phase;
    uint32_t inc;
    uint32_t offsetR;
    uint32_t baseL;
    uint32_t baseR;
    uint64_t depth;
    float feedback;
    float wet;
};

// One side: reads the interpolated delayed sample for LFO phase t, writes the
// new input with feedback and returns in·dryGain + d·wet. lateFrame is 1 on the
// right side (one frame more delay) and 0 on the left.
inline float tickSide(const TickState& s, float* line, uint32_t base, uint32_t lateFrame, uint32_t t,
                      float in, float dryGain) {
    uint32_t u = t << 1;
    if (t & 0x80000000u) u = ~u;
    const uint64_t product = static_cast<uint64_t>(u) * s.depth;
    const uint32_t wholeDelay = base + static_cast<uint32_t>(product >> 32);
    const float f = fraction(static_cast<uint32_t>(product));
    const uint32_t i0 = (s.write - wholeDelay - lateFrame) & s.mask;
    const uint32_t i1 = (i0 + 1u) & s.mask;
    const float d = line[i0] + (line[i1] - line[i0]) * (1.0f - f);
    line[s.write] = in + d * s.feedback;
    return in * dryGain + d * s.wet;
}

}  // namespace

void ModDelay::setLines(float* left, float* right, int32_t lineMask) {
    bufL = left;
    bufR = right;
    mask = lineMask;
}

void ModDelay::reset() {
    write = 0;
    phase = 0;
    if (bufL == nullptr || bufR == nullptr) return;
    // One bulk fill per line: the lines are cleared at every engine set-up and
    // program change, so this is the largest part of a reset.
    // (0.0f is all zero bits.)
    std::memset(bufL, 0, sizeof(float) * static_cast<size_t>(mask + 1));
    std::memset(bufR, 0, sizeof(float) * static_cast<size_t>(mask + 1));
}

void ModDelay::setParams(const float* q) {
    wet = (q[0] - 64.0f) / 64.0f;
    dry = 1.0f - std::fabs(wet);
    feedback = (q[1] - 64.0f) / 64.0f;
    const float baseRange = static_cast<float>(mask - kSweepReserve);
    baseL = roundToInt((q[2] * baseRange) / 128.0f);
    baseR = roundToInt((q[3] * baseRange) / 128.0f);
    const float rate = rateCurve(q[4] / 128.0f);
    inc = static_cast<uint32_t>(roundToInt((rate * kTopRateIncrement) * dsp::rates().rateScale));
    depth = roundToInt((q[5] / 128.0f) * kMaxDepthFrames);
    offsetR = 2u * static_cast<uint32_t>(roundToInt((q[6] - 64.0f) * kPhaseOffsetStep));
}

void ModDelay::processInsert(StereoFrame* buffer, int n) {
    if (wet == 0.0f || bufL == nullptr || bufR == nullptr) return;

    TickState s{bufL, bufR, static_cast<uint32_t>(mask), static_cast<uint32_t>(write), phase, inc, offsetR,
                static_cast<uint32_t>(baseL), static_cast<uint32_t>(baseR),
                static_cast<uint32_t>(depth), feedback, wet};
    const float dryGain = dry;
    for (int i = 0; i < n; ++i) {
        const float inL = buffer[i].left + kDenormalGuard;
        const float inR = buffer[i].right + kDenormalGuard;
        buffer[i].right = tickSide(s, s.right, s.baseR, 1u, s.phase + s.offsetR, inR, dryGain);
        buffer[i].left = tickSide(s, s.left, s.baseL, 0u, s.phase, inL, dryGain);
        s.phase += s.inc;
        s.write = (s.write + 1u) & s.mask;
    }
    write = static_cast<int32_t>(s.write);
    phase = s.phase;
}

void ModDelay::processSend(const float* bus, StereoFrame* destination, int n) {
    if (wet == 0.0f || bufL == nullptr || bufR == nullptr) return;

    TickState s{bufL, bufR, static_cast<uint32_t>(mask), static_cast<uint32_t>(write), phase, inc, offsetR,
                static_cast<uint32_t>(baseL), static_cast<uint32_t>(baseR),
                static_cast<uint32_t>(depth), feedback, wet};
    constexpr float kNoDry = 0.0f;  // the send form outputs only the delayed signal
    for (int i = 0; i < n; ++i) {
        const float x = bus[i] + kDenormalGuard;
        const float outR = tickSide(s, s.right, s.baseR, 1u, s.phase + s.offsetR, x, kNoDry);
        const float outL = tickSide(s, s.left, s.baseL, 0u, s.phase, x, kNoDry);
        destination[i].left = destination[i].left + outL;
        destination[i].right = destination[i].right + outR;
        s.phase += s.inc;
        s.write = (s.write + 1u) & s.mask;
    }
    write = static_cast<int32_t>(s.write);
    phase = s.phase;
}

}  // namespace zimblo::fx
