#include "fx/reverb.h"

#include <bit>

#include "dsp/maths.h"
#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

namespace zimblo::fx {

namespace {

// Loop gains at x = 1, in the order fb0..fb3, ap0, ap1. Each is close to
// exp(−2.61e-5 · n) for the matching left line length n, so every loop loses
// the same fraction per frame.
constexpr float kDecay[6] = {0.96638459f, 0.958186388f, 0.953783929f,
                             0.950933158f, 0.994260073f, 0.998044729f};
// r0 = 63 is the reference decay (x = 1): x = (kDecayReference/(r0 + 1))².
constexpr float kDecayReference = 64.0f;

// 1 when v is a nonzero subnormal: its magnitude bits lie in 1 .. 2^23 − 1.
inline uint32_t subnormalFlag(float v) {
    constexpr uint32_t kMagnitudeMask = 0x7FFFFFFFu;
    constexpr uint32_t kLargestSubnormal = 0x007FFFFFu;
    return ((std::bit_cast<uint32_t>(v) & kMagnitudeMask) - 1u) < kLargestSubnormal ? 1u : 0u;
}

inline void advance(int32_t& index, int32_t length) {
    index = index + 1;
    if (index >= length) index = 0;
}

// One comb tick; input carries the comb's sign. Returns the comb's output lp.
template <std::size_t N>
inline float comb(std::array<float, N>& line, int32_t& index, float& lp, float feedback,
                  float input, float damp, uint32_t& underflow) {
    const float v = feedback * line[index] + input;
    lp = lp + (v - lp) * damp;
    line[index] = lp;
    underflow |= subnormalFlag(lp);
    advance(index, static_cast<int32_t>(N));
    return lp;
}

template <std::size_t N>
inline float allpass(std::array<float, N>& line, int32_t& index, float y, float g,
                     uint32_t& underflow) {
    const float a = line[index];
    const float w = y + g * a;
    line[index] = w;
    underflow |= subnormalFlag(w);
    advance(index, static_cast<int32_t>(N));
    return a - g * w;
}

}  // namespace

void Reverb::clear() {
    fb0 = fb1 = fb2 = fb3 = 0.0f;
    ap0 = ap1 = 0.0f;
    inGain = damp = hpCoef = 0.0f;
    clearState();
}

void Reverb::clearState() {
    comb1Index = comb2Index = comb3Index = comb4Index = 0;
    allpass1Index = allpass2Index = 0;
    comb5Index = comb6Index = comb7Index = comb8Index = 0;
    allpass3Index = allpass4Index = 0;
    lp1 = lp2 = lp3 = lp4 = lp5 = lp6 = lp7 = lp8 = 0.0f;
    hpL = hpR = 0.0f;
    comb1Line.fill(0.0f);
    comb2Line.fill(0.0f);
    comb3Line.fill(0.0f);
    comb4Line.fill(0.0f);
    allpass1Line.fill(0.0f);
    allpass2Line.fill(0.0f);
    comb5Line.fill(0.0f);
    comb6Line.fill(0.0f);
    comb7Line.fill(0.0f);
    comb8Line.fill(0.0f);
    allpass3Line.fill(0.0f);
    allpass4Line.fill(0.0f);
}

void Reverb::setParams(const float* r) {
    const dsp::RateConstants& rate = dsp::rates();
    const float rateScale = rate.rateScale;
    const float t = kDecayReference / (r[0] + 1.0f);
    const float x = t * t * rateScale;
    fb0 = dsp::power(kDecay[0], x);
    fb1 = dsp::power(kDecay[1], x);
    fb2 = dsp::power(kDecay[2], x);
    fb3 = dsp::power(kDecay[3], x);
    ap0 = dsp::power(kDecay[4], x);
    ap1 = dsp::power(kDecay[5], x);
    damp = dsp::rateScaledCoefficient(r[1] / 128.0f, rate);
    const float h = r[2] / 128.0f;
    hpCoef = dsp::rateScaledCoefficient(h * h * h * h, rate);
    inGain = r[3] / 128.0f;
}

void Reverb::process(const float* sendBus, StereoFrame* master, int n) {
    const float g0 = fb0, g1 = fb1, g2 = fb2, g3 = fb3;
    const float a0 = ap0, a1 = ap1;
    const float input = inGain, lowPass = damp, highPass = hpCoef;

    int32_t i1 = comb1Index, i2 = comb2Index, i3 = comb3Index, i4 = comb4Index;
    int32_t j1 = allpass1Index, j2 = allpass2Index;
    int32_t i5 = comb5Index, i6 = comb6Index, i7 = comb7Index, i8 = comb8Index;
    int32_t j3 = allpass3Index, j4 = allpass4Index;
    float s1 = lp1, s2 = lp2, s3 = lp3, s4 = lp4, s5 = lp5, s6 = lp6, s7 = lp7, s8 = lp8;
    float highL = hpL, highR = hpR;
    uint32_t underflow = 0;

    for (int i = 0; i < n; ++i) {
        const float in = sendBus[i] * input + kDenormalGuard;
        // fb·c − in is fb·c + (−in) exactly, so the minus combs take −in.
        const float minusIn = -in;

        float y = comb(comb1Line, i1, s1, g0, in, lowPass, underflow);
        y = y + comb(comb2Line, i2, s2, g1, minusIn, lowPass, underflow);
        y = y + comb(comb3Line, i3, s3, g2, in, lowPass, underflow);
        y = y + comb(comb4Line, i4, s4, g3, minusIn, lowPass, underflow);
        y = allpass(allpass1Line, j1, y, a0, underflow);
        y = allpass(allpass2Line, j2, y, a1, underflow);
        highL = highL + (y - highL) * highPass;
        master[i].left = master[i].left + (y - highL);
        underflow |= subnormalFlag(highL) | subnormalFlag(master[i].left);

        y = comb(comb5Line, i5, s5, g0, in, lowPass, underflow);
        y = y + comb(comb6Line, i6, s6, g1, minusIn, lowPass, underflow);
        y = y + comb(comb7Line, i7, s7, g2, in, lowPass, underflow);
        y = y + comb(comb8Line, i8, s8, g3, minusIn, lowPass, underflow);
        y = allpass(allpass3Line, j3, y, a0, underflow);
        y = allpass(allpass4Line, j4, y, a1, underflow);
        highR = highR + (y - highR) * highPass;
        master[i].right = master[i].right + (y - highR);
        underflow |= subnormalFlag(highR) | subnormalFlag(master[i].right);
    }

    comb1Index = i1; comb2Index = i2; comb3Index = i3; comb4Index = i4;
    allpass1Index = j1; allpass2Index = j2;
    comb5Index = i5; comb6Index = i6; comb7Index = i7; comb8Index = i8;
    allpass3Index = j3; allpass4Index = j4;
    lp1 = s1; lp2 = s2; lp3 = s3; lp4 = s4; lp5 = s5; lp6 = s6; lp7 = s7; lp8 = s8;
    hpL = highL; hpR = highR;

    if (underflow != 0) clearState();
}

}  // namespace zimblo::fx
