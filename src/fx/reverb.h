// Reverb: the engine's global reverb, mono send in, stereo out added to the master.
//
// Per side, four parallel feedback combs with a one-pole low-pass in each loop,
// then two allpasses in series and a one-pole high-pass:
//   in   = bus·inGain + ε                                 (ε = 2^-18)
//   comb:    v = fb·line[i] ± in;  lp += (v − lp)·damp;  line[i] = lp;  out = lp
//   allpass: a = line[i];  w = y + g·a;  line[i] = w;  y = a − g·w
//   master += y − hp,  hp += (y − hp)·hpCoef            (the updated hp)
// The comb inputs alternate in sign (+ − + −), so their common response to ε and
// to the first samples of any input cancels; only the echoes, after each
// comb's own length, survive the sum. The right side uses slightly different
// line lengths, which decorrelates the two tails while keeping them equally long.
//
// Parameters (song bytes 0..255, applied once when a song opens):
//   r0 decay time: x = (64/(r0 + 1))²·(44100/fs); every loop gain is its table entry
//                  raised to x, so all loops lose the same dB per second; −60 dB in
//                  about 6 s at r0 = 63 (x = 1), the time proportional to 1/x.
//                  r0 = 0 makes the comb gains 0 (no tail).
//   r1 damping:    damp = r1/128·(44100/fs); 1 leaves the loops undamped, lower values
//                  darken the tail, 0 silences the reverb.
//   r2 low cut:    hpCoef = (r2/128)^4·(44100/fs); 0 disables the output high-pass.
//                  Below 44100 Hz damp and hpCoef are held at max(1, their 44100 Hz
//                  value): a one-pole step above 2 would grow without bound.
//   r3 send gain:  inGain = r3/128.
//
// ε keeps every loop away from subnormals; as a safety net, a block in which any
// value stored into a line, a filter state or the master turns out subnormal
// ends with clearState(), stopping the tail at once.
#pragma once

#include <array>
#include <cstdint>

#include "dsp/stereo_frame.h"

namespace zimblo::fx {

struct Reverb {
    // Line lengths in frames: combs 1..4 and allpasses 1, 2 feed the left output,
    // combs 5..8 and allpasses 3, 4 the right.
    static constexpr int32_t kComb1Length = 1309;
    static constexpr int32_t kComb2Length = 1635;
    static constexpr int32_t kComb3Length = 1811;
    static constexpr int32_t kComb4Length = 1926;
    static constexpr int32_t kAllpass1Length = 220;
    static constexpr int32_t kAllpass2Length = 74;
    static constexpr int32_t kComb5Length = 1327;
    static constexpr int32_t kComb6Length = 1631;
    static constexpr int32_t kComb7Length = 1833;
    static constexpr int32_t kComb8Length = 1901;
    static constexpr int32_t kAllpass3Length = 205;
    static constexpr int32_t kAllpass4Length = 77;

    // Derived coefficients (setParams); kept by clearState().
    float fb0 = 0.0f;  // feedback of combs 1 and 5
    float fb1 = 0.0f;  // combs 2 and 6
    float fb2 = 0.0f;  // combs 3 and 7
    float fb3 = 0.0f;  // combs 4 and 8
    float ap0 = 0.0f;  // allpasses 1 and 3
    float ap1 = 0.0f;  // allpasses 2 and 4
    float inGain = 0.0f;
    float damp = 0.0f;    // comb-loop low-pass coefficient
    float hpCoef = 0.0f;  // output high-pass coefficient

    // Running state: read/write positions, 0..length − 1.
    int32_t comb1Index = 0;
    int32_t comb2Index = 0;
    int32_t comb3Index = 0;
    int32_t comb4Index = 0;
    int32_t allpass1Index = 0;
    int32_t allpass2Index = 0;
    int32_t comb5Index = 0;
    int32_t comb6Index = 0;
    int32_t comb7Index = 0;
    int32_t comb8Index = 0;
    int32_t allpass3Index = 0;
    int32_t allpass4Index = 0;
    // Comb low-pass states (combs 1..8) and output high-pass states.
    float lp1 = 0.0f;
    float lp2 = 0.0f;
    float lp3 = 0.0f;
    float lp4 = 0.0f;
    float lp5 = 0.0f;
    float lp6 = 0.0f;
    float lp7 = 0.0f;
    float lp8 = 0.0f;
    float hpL = 0.0f;
    float hpR = 0.0f;
    // Delay lines.
    std::array<float, kComb1Length> comb1Line{};
    std::array<float, kComb2Length> comb2Line{};
    std::array<float, kComb3Length> comb3Line{};
    std::array<float, kComb4Length> comb4Line{};
    std::array<float, kAllpass1Length> allpass1Line{};
    std::array<float, kAllpass2Length> allpass2Line{};
    std::array<float, kComb5Length> comb5Line{};
    std::array<float, kComb6Length> comb6Line{};
    std::array<float, kComb7Length> comb7Line{};
    std::array<float, kComb8Length> comb8Line{};
    std::array<float, kAllpass3Length> allpass3Line{};
    std::array<float, kAllpass4Length> allpass4Line{};

    // Everything to zero, coefficients included.
    void clear();
    // Indices, filter states and lines to zero; the nine coefficients are kept.
    void clearState();
    // r: the four values r0..r3 above.
    void setParams(const float* r);
    // Reads n mono samples of the send bus and adds n frames into master.
    void process(const float* sendBus, StereoFrame* master, int n);
};

}  // namespace zimblo::fx
