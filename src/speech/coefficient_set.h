// The formant voice's 25 coefficients and their derivation from two frames.
//
// Seven resonator triples, then four source gains. Each value is taken from a
// frame moved from P towards Q by a weight w (0 = P, 1 = Q):
//   frequency = (P.f + (Q.f − P.f)·w) · scale      scale = formant frequency scale
//   bandwidth =  P.w + (Q.w − P.w)·w
//   gain      = levelToGain(P.l + (Q.l − P.l)·w)    levels blend before conversion
// The resonators, in their fixed order:
//   0 nasal: frame FN, 100 Hz, nasal level        (voiced source)
//   1 F1:    frame F1, B1, F1 level               (voiced source)
//   2 F2:    frame F2, B2, F2 level               (frication source)
//   3 F3:    frame F3, B3, F3 level               (frication source)
//   4 F4:    3200 Hz, 200 Hz, fourth-formant level (frication source)
//   5 F5:    4000 Hz, 500 Hz, high level          (frication source)
//   6 F6:    6000 Hz, 800 Hz, high level          (frication source)
// The scale moves the fixed frequencies too, so the whole vocal tract shifts.
#pragma once

#include <array>

#include "speech/formant_frame.h"
#include "speech/resonator.h"

namespace zimblo::speech {

constexpr int kResonatorCount = 7;
constexpr int kCoefficientCount = 25;

struct CoefficientSet {
    std::array<CoefficientTriple, kResonatorCount> resonators{};
    float voicingGain = 0.0f;
    float aspirationGain = 0.0f;
    float fricationGain = 0.0f;
    float bypassGain = 0.0f;
};

static_assert(sizeof(CoefficientSet) == kCoefficientCount * sizeof(float),
              "the set ramps as 25 consecutive floats");

// out = P moved towards Q by weight (P and Q may be table rows; they are
// copied first). poles, when given, keep each resonator's B and C (setResonator).
void computeCoefficientSet(const FormantFrame& p, const FormantFrame& q, float weight,
                           float frequencyScale, CoefficientSet& out,
                           std::array<ResonatorPoles, kResonatorCount>* poles = nullptr);

}  // namespace zimblo::speech
