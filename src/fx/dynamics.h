// Dynamics: compressor/limiter with a lookahead line, one per channel strip and
// one on the master.
//
//   level  = detector(input) / T                (per frame and side, T = threshold)
//   target = 1                           if level < 1
//          = 1 / (1 + (level − 1)·ratio) otherwise
//   gain  += (target − gain)·c,  c = attack while target < gain, else release
//   out[n] = x[n − lookahead − 1] / T · outGain · gain
//
// The ratio curve puts the output at level/(1 + (level − 1)·r) times the
// threshold: slope 1 − r just above it, tending to T/r for very loud input;
// r = 0 never reduces the gain.
//
// Four detectors (mode AND 3), each over one control frame:
//   0 linked peak   env = max(|(L + R)·0.5|, env·0.9998 + ε)
//   1 linked RMS    sqrt of a running sum of 8192 squares of (L + R)·0.5 + ε
//   2 stereo peak   as 0, left and right separately
//   3 stereo RMS    as 1, left (L + ε) and right (R + ε) separately
// ε = 2^-18 keeps the envelopes off subnormals; without input a peak envelope
// therefore rests at ε/(1 − 0.9998) ≈ 0.019, not at 0.
//
// Parameters (0..128 scale; the master's come from song bytes up to 255):
//   d0 kind:      0 off, 1 peak, 2 RMS      mode = ((round(d0) − 1) AND 5) + 2·round(d1),
//   d1 stereo:    0 linked, 1 separate      in two's complement; bit 2 set = bypass
//   d2 makeup:    0: outGain = G·T (unity for signals below the threshold),
//                 else outGain = G (the signal stays scaled by 1/T)
//   d3 lookahead: round(d3·44.1) frames, i.e. d3 ms at 44.1 kHz whatever the rate,
//                 limited to the line (5699)
//   d4 threshold: T = 8·2^(10·(d4/128 − 1)): 2^-7 (−42 dB) at 0 .. 8 (+18 dB) at 128
//   d5 ratio:     r = d5/128
//   d6 attack:    2^(−12·d6/128) per frame: 1 (instant) at 0
//   d7 release:   2^(−16·d7/128) per frame: 1 (instant) at 0
//   d8 output:    G = 2^((d8 − 64)/16): 0 dB at 64, 6 dB per 16 steps
//
// The detector writes its levels for the whole block into a level buffer the
// engine lends (its voice scratch, unused while effects run), then each side is
// gain-smoothed in its own pass. Storing the delayed signal already divided by
// T keeps the makeup a single output multiply. Detector state and gains restart
// only when the mode changes, because the channel strip re-sends the parameters
// every control frame.
#pragma once

#include <array>
#include <cstdint>

#include "dsp/last_result.h"
#include "dsp/maths.h"
#include "dsp/stereo_frame.h"

namespace zimblo::fx {

// Detector selected by the low two bits of the mode.
enum class Detector : int32_t { LinkedPeak = 0, LinkedRms = 1, StereoPeak = 2, StereoRms = 3 };

struct Dynamics {
    // Lookahead line: slots 0..lookahead are in use; 5700 pairs hold 129 ms.
    static constexpr int32_t kLookaheadSlots = 5700;
    static constexpr int32_t kMaxLookahead = kLookaheadSlots - 1;
    // The RMS detectors average over 8192 frames (186 ms at 44100 Hz); the stereo
    // one keeps its squares as left/right pairs.
    static constexpr int32_t kRmsFrames = 8192;
    static constexpr int32_t kRmsWindowFloats = 2 * kRmsFrames;
    // Mode bit 2: the unit is bypassed (d0 rounds to 0, or d1 to 2 or 3).
    static constexpr int32_t kBypassBit = 4;
    // Peak envelope decay per frame: −60 dB in about 34500 frames (0.8 s).
    static constexpr float kPeakDecay = 0.9998f;
    // 1/sqrt(8192): turns the square root of the window's sum into its RMS.
    static constexpr float kRmsNormalise = 0.011048543f;

    // Settings.
    int32_t mode = 0;      // reset() sets 2; bit 2 = bypass, else bits 0..1 = Detector
    int32_t lastMode = 0;  // the mode the detector state was last cleared for

    // Derived coefficients (setParams).
    float invThreshold = 0.0f;  // 1/T
    float ratio = 0.0f;         // 0..1
    float outGain = 0.0f;       // G·T with makeup, else G
    float attack = 0.0f;        // smoothing coefficient while the gain falls
    float release = 0.0f;       // smoothing coefficient while the gain rises or holds
    int32_t lookahead = 0;      // frames; the signal is delayed by lookahead + 1
    // Their exponentials, kept from the last setup: the strip sets up every control frame.
    dsp::LastResult<dsp::exp2Ten> thresholdCurve;
    dsp::LastResult<dsp::exp2> outputCurve;
    dsp::LastResult<dsp::exp2> attackCurve;
    dsp::LastResult<dsp::exp2> releaseCurve;

    // Running state.
    int32_t lookIndex = 0;  // current lookahead slot, 0..kMaxLookahead
    float gainL = 0.0f;
    float gainR = 0.0f;
    float peakL = 0.0f;  // also the linked peak envelope
    float peakR = 0.0f;
    int32_t rmsIndex = 0;  // current RMS frame, 0..8191
    float rmsSumL = 0.0f;  // running sum of squares; also the linked sum
    float rmsSumR = 0.0f;
    std::array<StereoFrame, kLookaheadSlots> lookLine{};  // input already divided by T
    std::array<float, kRmsWindowFloats> rmsWindow{};      // squares: singles (linked) or pairs

    // mode = 2; everything else keeps its value (an initially zeroed unit thus
    // has lastMode 0, and a first mode of 0 starts from gain 0).
    void reset();
    // d: the nine values d0..d8 above.
    void setParams(const float* d);
    // n frames in place (n <= 280); levelBuffer receives n frames of detector
    // levels and may be shared between units run one after another.
    void process(StereoFrame* buffer, int n, StereoFrame* levelBuffer);
};

}  // namespace zimblo::fx
