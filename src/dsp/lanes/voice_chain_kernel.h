// The voice-chain kernel, written once over a lane count W and compiled per instruction set.
// It is Voice::renderChain followed by Voice::applyAmplitude with every operation widened to
// W lanes, in the same order (voice.cpp, voice_filter.cpp, shaper.cpp, dc_blocker.cpp hold the
// scalar reference; read them side by side):
//   1. the lanes' work buffers interleaved into one buffer (sample i of lane l at i·W + l);
//   2. filter 1 in place, with filter 2's input kept aside for the parallel lanes;
//   3. filter 2 on the serial lanes' filter-1 output or the parallel lanes' input, then the
//      routing's mix;
//   4. shaper, DC blocker and amplitude ramp in one pass, written back to the lanes' buffers.
// A filter pass runs the state-variable recurrence when some lane uses that family and the
// ladder when some lane uses that one; each lane then takes its own type's output (masks), so
// a group holding both families pays for both (the caller groups by family to avoid that).
// Only lanes that ran a family store its state back. Lanes beyond count repeat lane 0 and
// store nothing.
//
// Include only from a translation unit compiled for one x86-64 instruction set, inside a
// namespace of its own, after voice_chain_entry.h and the headers below; ZIMBLO_LANES gives W.
// It uses GCC vector extensions, so the operations are plain IEEE lane operations and
// -ffp-contract=off keeps multiplies and adds apart.
//   #include <cstdint>, <cstring>, "dsp/numerics.h", "dsp/rate_constants.h"
namespace kernel {

using ::zimblo::kDenormalGuard;
using ::zimblo::dsp::Voice;
using ::zimblo::dsp::VoiceFilter;
using ::zimblo::dsp::VoiceLaneScratch;

constexpr int W = ZIMBLO_LANES;

typedef float F __attribute__((vector_size(4 * W)));
typedef int32_t I __attribute__((vector_size(4 * W)));
typedef float H __attribute__((vector_size(2 * W)));   // half a group
typedef double D __attribute__((vector_size(4 * W)));  // half a group, widened

inline F splat(float x) { return F{} + x; }
inline I splat(int32_t x) { return I{} + x; }
inline F load(const float* p) {
    F v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(float* p, F v) { std::memcpy(p, &v, sizeof v); }
inline F pick(I mask, F a, F b) { return mask ? a : b; }
inline bool any(I mask) {
    for (int l = 0; l < W; ++l) {
        if (mask[l] != 0) return true;
    }
    return false;
}

template <class Get>
inline F gather(const Get& get) {
    F v;
    for (int l = 0; l < W; ++l) v[l] = get(l);
    return v;
}
template <class Get>
inline I gatherValue(const Get& get) {
    I v;
    for (int l = 0; l < W; ++l) v[l] = get(l);
    return v;
}
template <class Get>
inline I gatherInt(const Get& get) {
    I v;
    for (int l = 0; l < W; ++l) v[l] = get(l) ? -1 : 0;
    return v;
}

// float(c · double(x)) and float(double(x) + c), lane by lane: one rounding each, as the
// shaper's arctangent curve forms its products and sums with double constants.
inline H lowHalf(F v) {
    H h;
    std::memcpy(&h, &v, sizeof h);
    return h;
}
inline H highHalf(F v) {
    H h;
    std::memcpy(&h, reinterpret_cast<const char*>(&v) + sizeof h, sizeof h);
    return h;
}
inline F join(H low, H high) {
    F v;
    std::memcpy(&v, &low, sizeof low);
    std::memcpy(reinterpret_cast<char*>(&v) + sizeof low, &high, sizeof high);
    return v;
}
inline D widen(H h) { return __builtin_convertvector(h, D); }
inline H narrow(D d) { return __builtin_convertvector(d, H); }
inline F timesConstant(double c, F x) {
    return join(narrow(c * widen(lowHalf(x))), narrow(c * widen(highHalf(x))));
}
inline F plusConstant(double c, F x) {
    return join(narrow(widen(lowHalf(x)) + c), narrow(widen(highHalf(x)) + c));
}
inline F constantMinus(double c, F x) {
    return join(narrow(c - widen(lowHalf(x))), narrow(c - widen(highHalf(x))));
}

// The shaper's arctangentCurve, both branches computed and selected per lane.
inline F arctangentCurve(F v) {
    constexpr double kSmallNumerator = 0.43157974;
    constexpr double kLargeNumerator = 0.431597974;
    constexpr double kSquareTerm = 0.76443945;
    constexpr double kFourthTerm = 0.05831938;
    constexpr double kHalfPiDouble = 1.57079632679489661923;
    constexpr float kCurveSaturation = 0x1p32f;
    I bits;
    std::memcpy(&bits, &v, sizeof bits);
    const I signBit = bits & splat(static_cast<int32_t>(0x80000000u));
    const I magnitudeBits = bits & splat(0x7FFFFFFF);
    F a;
    std::memcpy(&a, &magnitudeBits, sizeof a);
    const F a2 = a * a;
    const F a4 = a2 * a2;
    const F smallNumerator = a * plusConstant(1.0, timesConstant(kSmallNumerator, a2));
    const F smallDenominator =
        plusConstant(1.0, timesConstant(kSquareTerm, a2)) + timesConstant(kFourthTerm, a4);
    const F small = smallNumerator / smallDenominator;
    const F largeNumerator = a * plusConstant(kLargeNumerator, a2);
    const F largeDenominator = plusConstant(kFourthTerm, a4 + timesConstant(kSquareTerm, a2));
    const F large = constantMinus(kHalfPiDouble, largeNumerator / largeDenominator);
    const I belowOne = ((bits >> 23) & splat(0xFF)) < splat(127);
    F magnitude = pick(belowOne, small, large);
    magnitude = pick(a >= splat(kCurveSaturation), splat(static_cast<float>(kHalfPiDouble)), magnitude);
    I out;
    std::memcpy(&out, &magnitude, sizeof out);
    out = out ^ signBit;
    F result;
    std::memcpy(&result, &out, sizeof result);
    return result;
}

// One filter slot of the group: coefficients, running states and per-lane output selection.
struct FilterLanes {
    F f, q, k, m, r;                 // coefficients of both families
    F low, band;                     // state-variable state
    F previous, s1, s2, s3, s4;      // ladder state
    I isLow, isBand, isHigh, isNotch, isLadderHigh, isStateVariable, isLadder, isOff;
    bool anyStateVariable = false;
    bool anyLadder = false;

    void load(Voice* const* voices, int slot, I used) {
        auto filter = [&](int l) -> const VoiceFilter& { return voices[l]->filters[slot]; };
        auto type = [&](int l) { return static_cast<uint32_t>(filter(l).type) & 7u; };
        f = gather([&](int l) { return filter(l).frequency; });
        q = gather([&](int l) { return filter(l).damping; });
        k = gather([&](int l) { return filter(l).poleGain; });
        m = gather([&](int l) { return filter(l).poleFeedback; });
        r = gather([&](int l) { return filter(l).resonanceFeedback; });
        low = gather([&](int l) { return filter(l).low; });
        band = gather([&](int l) { return filter(l).band; });
        previous = gather([&](int l) { return filter(l).previousInput; });
        s1 = gather([&](int l) { return filter(l).stage1; });
        s2 = gather([&](int l) { return filter(l).stage2; });
        s3 = gather([&](int l) { return filter(l).stage3; });
        s4 = gather([&](int l) { return filter(l).stage4; });
        isLow = gatherInt([&](int l) { return type(l) == 1; });
        isBand = gatherInt([&](int l) { return type(l) == 2; });
        isHigh = gatherInt([&](int l) { return type(l) == 3; });
        isNotch = gatherInt([&](int l) { return type(l) == 4; });
        isLadderHigh = gatherInt([&](int l) { return type(l) == 7; });
        isOff = gatherInt([&](int l) { return type(l) == 0; });
        isStateVariable = gatherInt([&](int l) { return type(l) >= 1 && type(l) <= 5; }) & used;
        isLadder = gatherInt([&](int l) { return type(l) >= 6; }) & used;
        anyStateVariable = any(isStateVariable);
        anyLadder = any(isLadder);
    }

    void storeBack(Voice* const* voices, int slot, int count) const {
        for (int l = 0; l < count; ++l) {
            VoiceFilter& filter = voices[l]->filters[slot];
            if (isStateVariable[l] != 0) {
                filter.low = low[l];
                filter.band = band[l];
            }
            if (isLadder[l] != 0) {
                filter.previousInput = previous[l];
                filter.stage1 = s1[l];
                filter.stage2 = s2[l];
                filter.stage3 = s3[l];
                filter.stage4 = s4[l];
            }
        }
    }
};

// renderStateVariable and renderLadder of every lane over n interleaved samples; source may
// be a per-lane choice of two buffers (parallel lanes read their input, serial lanes the
// filter-1 output).
template <bool kStateVariable, bool kLadder>
void runFilter(FilterLanes& fl, const float* sourceA, const float* sourceB, I useA, float* destination, int n) {
    const F guard = splat(kDenormalGuard);
    const F clip = splat(0.1666666716337204f);
    const F f = fl.f, q = fl.q, k = fl.k, m = fl.m, r = fl.r;
    F low = fl.low, band = fl.band;
    F previous = fl.previous, s1 = fl.s1, s2 = fl.s2, s3 = fl.s3, s4 = fl.s4;
    for (int i = 0; i < n; ++i) {
        const F input = pick(useA, load(sourceA + i * W), load(sourceB + i * W));
        F y = input;
        if constexpr (kStateVariable) {
            const F x = input + guard;
            low = (low + f * band) - guard;
            F high = (x - low) - q * band;
            band = band + f * high;
            low = low + f * band;
            high = (x - low) - q * band;
            band = band + f * high;
            const F lowBandHigh = (low + band) + high;
            F sv = pick(fl.isLow, low, lowBandHigh);
            sv = pick(fl.isBand, band, sv);
            sv = pick(fl.isHigh, high, sv);
            sv = pick(fl.isNotch, low + high, sv);
            y = pick(fl.isStateVariable, sv, y);
        }
        if constexpr (kLadder) {
            const F x = input;
            for (int pass = 0; pass < 2; ++pass) {
                const F u = (x + guard) - r * s4;
                const F n1 = k * (u + previous) + m * s1;
                const F n2 = k * (s1 + n1) + m * s2;
                const F n3 = k * (s2 + n2) + m * s3;
                F n4 = k * (s3 + n3) + m * s4;
                n4 = (n4 - ((n4 * n4) * n4) * clip) - guard;
                s1 = n1;
                s2 = n2;
                s3 = n3;
                s4 = n4;
                previous = x;
            }
            y = pick(fl.isLadder, pick(fl.isLadderHigh, x - s4, s4), y);
        }
        store(destination + i * W, y);
    }
    fl.low = low;
    fl.band = band;
    fl.previous = previous;
    fl.s1 = s1;
    fl.s2 = s2;
    fl.s3 = s3;
    fl.s4 = s4;
}

inline void filterPass(FilterLanes& fl, const float* sourceA, const float* sourceB, I useA, float* destination,
                       int n) {
    if (fl.anyStateVariable && fl.anyLadder) {
        runFilter<true, true>(fl, sourceA, sourceB, useA, destination, n);
    } else if (fl.anyStateVariable) {
        runFilter<true, false>(fl, sourceA, sourceB, useA, destination, n);
    } else if (fl.anyLadder) {
        runFilter<false, true>(fl, sourceA, sourceB, useA, destination, n);
    } else if (destination != sourceA || any(~useA)) {
        for (int i = 0; i < n; ++i) {
            store(destination + i * W, pick(useA, load(sourceA + i * W), load(sourceB + i * W)));
        }
    }
}

// Shaper (off, overdrive, clip), DC blocker and amplitude ramp, written to the lanes' buffers.
template <bool kOverdrive>
void finish(Voice* const* voices, const float* source, float* const* work, int count, int n) {
    const F drive = gather([&](int l) { return voices[l]->shaper.drive; });
    const F outputGain = gather([&](int l) { return voices[l]->shaper.outputGain; });
    const F bias = gather([&](int l) { return voices[l]->shaper.bias; });
    const I mode = gatherValue([&](int l) { return voices[l]->shaper.mode & 15; });
    const I isOverdrive = mode == splat(1);
    const I isClip = mode == splat(2);
    const F dc = splat(::zimblo::dsp::rates().dcCoefficient);
    const F guard = splat(kDenormalGuard);
    const F one = splat(1.0f);
    const F minusOne = splat(-1.0f);
    const F step = gather([&](int l) { return voices[l]->amplitudeStep; });
    F gain = gather([&](int l) { return voices[l]->amplitude; });
    F a = gather([&](int l) { return voices[l]->dcBlocker.x1L; });
    F b = gather([&](int l) { return voices[l]->dcBlocker.y1L; });
    float out[W];
    for (int i = 0; i < n; ++i) {
        const F x = load(source + i * W);
        F t = x * drive + bias;
        t = pick(t > one, one, t);
        t = pick(t < minusOne, minusOne, t);
        F shaped = pick(isClip, outputGain * t, x);
        if constexpr (kOverdrive) {
            shaped = pick(isOverdrive, outputGain * arctangentCurve(x * drive + bias), shaped);
        }
        const F y = (((dc * b - a) + shaped) + guard) - guard;
        a = shaped;
        b = y;
        const F s = y * gain;
        gain = gain + step;
        store(out, s);
        for (int l = 0; l < count; ++l) work[l][i] = out[l];
    }
    for (int l = 0; l < count; ++l) {
        voices[l]->dcBlocker.x1L = a[l];
        voices[l]->dcBlocker.y1L = b[l];
        voices[l]->amplitude = gain[l];
    }
}

inline void renderChain(Voice* const* groupVoices, float* const* work, int count, int n, VoiceLaneScratch& scratch) {
    Voice* voices[W];
    const float* sources[W];
    for (int l = 0; l < W; ++l) {
        voices[l] = groupVoices[l < count ? l : 0];
        sources[l] = work[l < count ? l : 0];
    }
    float* input = scratch.input.data();
    float* second = scratch.second.data();
    for (int i = 0; i < n; ++i) {
        for (int l = 0; l < W; ++l) input[i * W + l] = sources[l][i];
    }

    const I routing = gatherValue([&](int l) { return voices[l]->routing & 0xFF; });
    const I single = routing == splat(0);
    const I parallel = routing == splat(2);
    const I serial = ~single & ~parallel;
    const I all = splat(-1);

    FilterLanes first;
    first.load(voices, 0, all);
    FilterLanes last;
    last.load(voices, 1, ~single);

    const bool anyParallel = any(parallel);
    const bool anySecond = any(~single);
    // The parallel lanes' filter-2 input: the group's input before filter 1 overwrites it.
    if (anyParallel) std::memcpy(second, input, sizeof(float) * static_cast<size_t>(n * W));
    filterPass(first, input, input, all, input, n);
    if (anySecond) {
        // Filter 2 reads the parallel lanes' kept input and the serial lanes' filter-1 output.
        filterPass(last, second, input, parallel, second, n);
        const F mix1 = gather([&](int l) { return voices[l]->filter1MixGain; });
        const F mix2 = gather([&](int l) { return voices[l]->filter2MixGain; });
        for (int i = 0; i < n; ++i) {
            const F y1 = load(input + i * W);
            const F y2 = load(second + i * W);
            F y = pick(serial, y2, y1);
            y = pick(parallel, y2 * mix2 + y1 * mix1, y);
            store(input + i * W, y);
        }
    }
    first.storeBack(voices, 0, count);
    last.storeBack(voices, 1, count);

    bool anyOverdrive = false;
    for (int l = 0; l < W; ++l) anyOverdrive = anyOverdrive || (voices[l]->shaper.mode & 15) == 1;
    if (anyOverdrive) {
        finish<true>(voices, input, work, count, n);
    } else {
        finish<false>(voices, input, work, count, n);
    }
}

}  // namespace kernel
