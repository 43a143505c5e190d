// The voice-chain kernel, written once over a lane count W and compiled per instruction set.
// It is Voice::renderOscillators, renderChain and applyAmplitude with every operation widened to
// W lanes, in the same order (voice.cpp, voice_filter.cpp, shaper.cpp, dc_blocker.cpp hold the
// scalar reference; read them side by side):
//   1. the three oscillators into one buffer, the lanes interleaved (sample i of lane l at
//      i·W + l), each waveform some lane plays run over all lanes and kept in its own lanes;
//   2. filter 1, then filter 2 on the serial lanes' filter-1 output or the parallel lanes'
//      input, then the routing's mix, all in one pass over the samples;
//   3. shaper, DC blocker and amplitude ramp in one pass, written back to the lanes' buffers.
// Steps 2 and 3 take up to four groups through the samples together: one group's filters wait
// on their own latency (a ladder sample is about 120 cycles of dependent operations), and the
// core runs the other groups' operations meanwhile.
// A filter step runs the state-variable recurrence when some lane uses that family and the
// ladder when some lane uses that one; each lane then takes its own type's output (masks), so
// a group holding both families pays for both (the caller groups by family to avoid that).
// Only lanes that ran a family store its state back. Lanes beyond count repeat lane 0 and
// store nothing.
//
// Include only from a translation unit compiled for one x86-64 instruction set, inside a
// namespace of its own, after voice_chain_entry.h and the headers below; ZIMBLO_LANES gives W.
// It uses GCC vector extensions, so the operations are plain IEEE lane operations and
// -ffp-contract=off keeps multiplies and adds apart.
//   #include <cmath>, <cstdint>, <cstring>, "dsp/maths.h", "dsp/oscillator.h", "dsp/numerics.h", "dsp/rate_constants.h"
namespace kernel {

using ::zimblo::kDenormalGuard;
using ::zimblo::dsp::Voice;
using ::zimblo::dsp::VoiceFilter;
using ::zimblo::dsp::VoiceLaneScratch;

constexpr int W = ZIMBLO_LANES;

typedef float F __attribute__((vector_size(4 * W)));
typedef int32_t I __attribute__((vector_size(4 * W)));
typedef uint32_t U __attribute__((vector_size(4 * W)));
typedef int32_t J __attribute__((vector_size(2 * W)));  // half a group of integers
typedef float H __attribute__((vector_size(2 * W)));   // half a group
typedef double D __attribute__((vector_size(4 * W)));  // half a group, widened

inline F splat(float x) { return F{} + x; }
inline U splatU(uint32_t x) { return U{} + x; }
inline I splat(int32_t x) { return I{} + x; }
// Float-typed unaligned access, so the compiler knows a buffer store leaves the integer
// states (phases, seeds) alone.
typedef float Unaligned __attribute__((vector_size(4 * W), aligned(4)));
inline F load(const float* p) { return *reinterpret_cast<const Unaligned*>(p); }
inline void store(float* p, F v) { *reinterpret_cast<Unaligned*>(p) = v; }
inline F pick(I mask, F a, F b) { return mask ? a : b; }
// Whether any lane of a mask (each lane 0 or all ones) is set: the lanes' sign bits in one
// instruction, where a loop over the lanes would branch once per lane.
inline bool any(I mask) {
#if ZIMBLO_LANES == 16
    return _mm512_movepi32_mask(reinterpret_cast<__m512i>(mask)) != 0;
#elif ZIMBLO_LANES == 8
    return _mm256_movemask_ps(reinterpret_cast<__m256>(mask)) != 0;
#else
    return _mm_movemask_ps(reinterpret_cast<__m128>(mask)) != 0;
#endif
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
#if ZIMBLO_LANES == 16
inline H lowHalf(F v) { return __builtin_shufflevector(v, v, 0, 1, 2, 3, 4, 5, 6, 7); }
inline H highHalf(F v) { return __builtin_shufflevector(v, v, 8, 9, 10, 11, 12, 13, 14, 15); }
inline F join(H low, H high) { return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15); }
#elif ZIMBLO_LANES == 8
inline H lowHalf(F v) { return __builtin_shufflevector(v, v, 0, 1, 2, 3); }
inline H highHalf(F v) { return __builtin_shufflevector(v, v, 4, 5, 6, 7); }
inline F join(H low, H high) { return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7); }
#else
inline H lowHalf(F v) { return __builtin_shufflevector(v, v, 0, 1); }
inline H highHalf(F v) { return __builtin_shufflevector(v, v, 2, 3); }
inline F join(H low, H high) { return __builtin_shufflevector(low, high, 0, 1, 2, 3); }
#endif
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

// The shaper's arctangentCurve: both branches' numerators and denominators are formed, each
// lane picks its branch's pair, and one division serves both.
__attribute__((always_inline)) inline F arctangentCurve(F v) {
    using namespace ::zimblo::dsp::arctangent;
    const I bits = reinterpret_cast<I>(v);
    const I signBit = bits & splat(static_cast<int32_t>(0x80000000u));
    const F a = reinterpret_cast<F>(bits & splat(0x7FFFFFFF));
    const F a2 = a * a;
    const F a4 = a2 * a2;
    // float(double(t) + 1.0) is t + 1.0f for every float t (double has more than twice the
    // digits plus two, so rounding twice cannot differ from rounding once; checked over all
    // 2^32 patterns), and the float add saves the trip through double.
    const F one = splat(1.0f);
    const F smallNumerator = a * (timesConstant(kSmallNumerator, a2) + one);
    const F smallDenominator = (timesConstant(kSquareTerm, a2) + one) + timesConstant(kFourthTerm, a4);
    const F largeNumerator = a * plusConstant(kLargeNumerator, a2);
    const F largeDenominator = plusConstant(kFourthTerm, a4 + timesConstant(kSquareTerm, a2));
    const I belowOne = ((bits >> 23) & splat(0xFF)) < splat(static_cast<int32_t>(kBiasedExponentOfOne));
    const F quotient = pick(belowOne, smallNumerator, largeNumerator) / pick(belowOne, smallDenominator, largeDenominator);
    F magnitude = pick(belowOne, quotient, constantMinus(kHalfPiDouble, quotient));
    magnitude = pick(a >= splat(kCurveSaturation), splat(static_cast<float>(kHalfPiDouble)), magnitude);
    return reinterpret_cast<F>(reinterpret_cast<I>(magnitude) ^ signBit);
}

// One filter slot of the group: coefficients, running states and per-lane output selection.
struct FilterLanes {
    F f, q, k, m, r;                 // coefficients of both families
    F low, band;                     // state-variable state
    F previous, s1, s2, s3, s4;      // ladder state
    I isLow, isBand, isHigh, isNotch, isLadderHigh, isStateVariable, isLadder, isOff;
    bool anyStateVariable = false;
    bool anyLadder = false;

    void load(VoiceFilter* const* filters, I used) {
        auto filter = [&](int l) -> const VoiceFilter& { return *filters[l]; };
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

    void storeBack(VoiceFilter* const* filters, int count) const {
        for (int l = 0; l < count; ++l) {
            VoiceFilter& filter = *filters[l];
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

// for (g = 0 .. G - 1), unrolled: each operation of a step runs for every group before the
// next one, so that the groups' independent operations sit next to each other in the
// instruction stream. A core's scheduler holds only a few dozen waiting operations, so one
// group's whole sample (a ladder's 130 dependent operations) ahead of the next would keep the
// second from overlapping the first.
#define ZIMBLO_EACH_GROUP _Pragma("GCC unroll 4") for (int g = 0; g < G; ++g)

// One sample of renderStateVariable and renderLadder in every lane of G groups, on fl's
// states, operation by operation across the groups; each lane keeps its own type's output.
template <int G, bool kStateVariable, bool kLadder>
__attribute__((always_inline)) inline void filterSteps(FilterLanes* fl, const F* input, F* y) {
    const F guard = splat(kDenormalGuard);
    ZIMBLO_EACH_GROUP { y[g] = input[g]; }
    if constexpr (kStateVariable) {
        F x[G], low[G], band[G], high[G];
        ZIMBLO_EACH_GROUP {
            x[g] = input[g] + guard;
            low[g] = fl[g].low;
            band[g] = fl[g].band;
        }
        ZIMBLO_EACH_GROUP { low[g] = (low[g] + fl[g].f * band[g]) - guard; }
        ZIMBLO_EACH_GROUP { high[g] = (x[g] - low[g]) - fl[g].q * band[g]; }
        ZIMBLO_EACH_GROUP { band[g] = band[g] + fl[g].f * high[g]; }
        ZIMBLO_EACH_GROUP { low[g] = low[g] + fl[g].f * band[g]; }
        ZIMBLO_EACH_GROUP { high[g] = (x[g] - low[g]) - fl[g].q * band[g]; }
        ZIMBLO_EACH_GROUP { band[g] = band[g] + fl[g].f * high[g]; }
        ZIMBLO_EACH_GROUP {
            fl[g].low = low[g];
            fl[g].band = band[g];
            const F lowBandHigh = (low[g] + band[g]) + high[g];
            F sv = pick(fl[g].isLow, low[g], lowBandHigh);
            sv = pick(fl[g].isBand, band[g], sv);
            sv = pick(fl[g].isHigh, high[g], sv);
            sv = pick(fl[g].isNotch, low[g] + high[g], sv);
            y[g] = pick(fl[g].isStateVariable, sv, y[g]);
        }
    }
    if constexpr (kLadder) {
        const F clip = splat(::zimblo::dsp::kLadderClipCubic);
        const F knee = splat(::zimblo::dsp::kLadderClipKnee);
        F previous[G], s1[G], s2[G], s3[G], s4[G], u[G], n1[G], n2[G], n3[G], n4[G];
        ZIMBLO_EACH_GROUP {
            previous[g] = fl[g].previous;
            s1[g] = fl[g].s1;
            s2[g] = fl[g].s2;
            s3[g] = fl[g].s3;
            s4[g] = fl[g].s4;
        }
#pragma GCC unroll 2
        for (int pass = 0; pass < 2; ++pass) {
            ZIMBLO_EACH_GROUP { u[g] = (input[g] + guard) - fl[g].r * s4[g]; }
            ZIMBLO_EACH_GROUP { n1[g] = fl[g].k * (u[g] + previous[g]) + fl[g].m * s1[g]; }
            ZIMBLO_EACH_GROUP { n2[g] = fl[g].k * (s1[g] + n1[g]) + fl[g].m * s2[g]; }
            ZIMBLO_EACH_GROUP { n3[g] = fl[g].k * (s2[g] + n2[g]) + fl[g].m * s3[g]; }
            ZIMBLO_EACH_GROUP { n4[g] = fl[g].k * (s3[g] + n3[g]) + fl[g].m * s4[g]; }
            ZIMBLO_EACH_GROUP {
                n4[g] = pick(n4[g] > knee, knee, n4[g]);
                n4[g] = pick(n4[g] < -knee, -knee, n4[g]);
            }
            ZIMBLO_EACH_GROUP {
                s4[g] = (n4[g] - ((n4[g] * n4[g]) * n4[g]) * clip) - guard;
                s1[g] = n1[g];
                s2[g] = n2[g];
                s3[g] = n3[g];
                previous[g] = input[g];
            }
        }
        ZIMBLO_EACH_GROUP {
            fl[g].previous = previous[g];
            fl[g].s1 = s1[g];
            fl[g].s2 = s2[g];
            fl[g].s3 = s3[g];
            fl[g].s4 = s4[g];
            y[g] = pick(fl[g].isLadder, pick(fl[g].isLadderHigh, input[g] - s4[g], s4[g]), y[g]);
        }
    }
}

// A voice group's filter slots and routing: filter 2 reads the parallel lanes' input and the
// serial lanes' filter-1 output; the routing's mix is formed after both.
struct ChainLanes {
    FilterLanes first, last;
    I single, parallel, serial;
    F mix1, mix2;
    bool anySecond = false;
};

// Both filters and the mix of G voice groups in one pass over their interleaved buffers. The
// recurrences of a group and of the groups are independent, so they overlap in time: filter 1
// of sample i + 1 does not wait for filter 2 of sample i, nor one group for another. Each
// family runs where some lane of some group uses it; the other lanes keep their own
// type's output (filterSteps) and store nothing back.
template <int G, bool kStateVariable1, bool kLadder1, bool kSecond, bool kStateVariable2, bool kLadder2>
void runChainFilters(ChainLanes* chains, float* const* buffers, int n) {
    FilterLanes first[G], last[G];
    for (int g = 0; g < G; ++g) {
        first[g] = chains[g].first;
        last[g] = chains[g].last;
    }
    for (int i = 0; i < n; ++i) {
        F x[G], y1[G], y[G];
        ZIMBLO_EACH_GROUP { x[g] = load(buffers[g] + i * W); }
        filterSteps<G, kStateVariable1, kLadder1>(first, x, y1);
        ZIMBLO_EACH_GROUP { y[g] = y1[g]; }
        if constexpr (kSecond) {
            F x2[G], y2[G];
            ZIMBLO_EACH_GROUP { x2[g] = pick(chains[g].parallel, x[g], y1[g]); }
            filterSteps<G, kStateVariable2, kLadder2>(last, x2, y2);
            ZIMBLO_EACH_GROUP {
                y[g] = pick(chains[g].serial, y2[g], y[g]);
                y[g] = pick(chains[g].parallel, y2[g] * chains[g].mix2 + y1[g] * chains[g].mix1, y[g]);
            }
        }
        ZIMBLO_EACH_GROUP { store(buffers[g] + i * W, y[g]); }
    }
    for (int g = 0; g < G; ++g) {
        chains[g].first = first[g];
        chains[g].last = last[g];
    }
}

template <int G, bool kStateVariable1, bool kLadder1>
void chainFiltersSecond(ChainLanes* chains, float* const* buffers, bool second, bool stateVariable2, bool ladder2,
                        int n) {
    if (!second) {
        runChainFilters<G, kStateVariable1, kLadder1, false, false, false>(chains, buffers, n);
    } else if (stateVariable2 && ladder2) {
        runChainFilters<G, kStateVariable1, kLadder1, true, true, true>(chains, buffers, n);
    } else if (stateVariable2) {
        runChainFilters<G, kStateVariable1, kLadder1, true, true, false>(chains, buffers, n);
    } else if (ladder2) {
        runChainFilters<G, kStateVariable1, kLadder1, true, false, true>(chains, buffers, n);
    } else {
        runChainFilters<G, kStateVariable1, kLadder1, true, false, false>(chains, buffers, n);
    }
}

template <int G>
void chainFilters(ChainLanes* chains, float* const* buffers, int n) {
    bool stateVariable1 = false, ladder1 = false, second = false, stateVariable2 = false, ladder2 = false;
    for (int g = 0; g < G; ++g) {
        stateVariable1 = stateVariable1 || chains[g].first.anyStateVariable;
        ladder1 = ladder1 || chains[g].first.anyLadder;
        second = second || chains[g].anySecond;
        stateVariable2 = stateVariable2 || chains[g].last.anyStateVariable;
        ladder2 = ladder2 || chains[g].last.anyLadder;
    }
    if (stateVariable1 && ladder1) {
        chainFiltersSecond<G, true, true>(chains, buffers, second, stateVariable2, ladder2, n);
    } else if (stateVariable1) {
        chainFiltersSecond<G, true, false>(chains, buffers, second, stateVariable2, ladder2, n);
    } else if (ladder1) {
        chainFiltersSecond<G, false, true>(chains, buffers, second, stateVariable2, ladder2, n);
    } else {
        chainFiltersSecond<G, false, false>(chains, buffers, second, stateVariable2, ladder2, n);
    }
}

// Up to kMaxFilterGroups groups of lanes stepped through the samples together: their
// recurrences are independent, so the core overlaps them where one group alone would wait on
// its own latency. in(g, i) and out(g, i, y) read and write group g's sample i.
constexpr int kMaxFilterGroups = 4;

template <int G, bool kStateVariable, bool kLadder, class In, class Out>
void runFilterGroups(FilterLanes* groups, const In& in, const Out& out, int n) {
    FilterLanes fl[G];
    for (int g = 0; g < G; ++g) fl[g] = groups[g];
    for (int i = 0; i < n; ++i) {
        F x[G], y[G];
        ZIMBLO_EACH_GROUP { x[g] = in(g, i); }
        filterSteps<G, kStateVariable, kLadder>(fl, x, y);
        ZIMBLO_EACH_GROUP { out(g, i, y[g]); }
    }
    for (int g = 0; g < G; ++g) groups[g] = fl[g];
}

template <int G, class In, class Out>
void filterGroupsPass(FilterLanes* groups, bool anyStateVariable, bool anyLadder, const In& in, const Out& out,
                      int n) {
    if (anyStateVariable && anyLadder) {
        runFilterGroups<G, true, true>(groups, in, out, n);
    } else if (anyStateVariable) {
        runFilterGroups<G, true, false>(groups, in, out, n);
    } else if (anyLadder) {
        runFilterGroups<G, false, true>(groups, in, out, n);
    } else {
        for (int i = 0; i < n; ++i) {
            for (int g = 0; g < G; ++g) out(g, i, in(g, i));
        }
    }
}

// The shaper's filter modes of count stereo strips, each on its interleaved buffer: a strip's
// left and right filters side by side in lanes 2j and 2j + 1, W/2 strips to a group and up to
// kMaxFilterGroups groups in one pass. Lanes beyond count store nothing.
inline void renderStereoFilters(VoiceFilter* const* lefts, VoiceFilter* const* rights, const float* const* sources,
                                float* const* destinations, int count, int n) {
    constexpr int kStripsPerGroup = W / 2;
    constexpr int kStripsPerPass = kStripsPerGroup * kMaxFilterGroups;
    for (int first = 0; first < count; first += kStripsPerPass) {
        const int strips = count - first < kStripsPerPass ? count - first : kStripsPerPass;
        const int groupCount = (strips + kStripsPerGroup - 1) / kStripsPerGroup;
        // The strip in lane l of group g (a group's spare lanes repeat its first strip, which
        // they read before it is written), and how many lanes of each group are real.
        auto strip = [&](int g, int l) {
            const int s = g * kStripsPerGroup + l / 2;
            return first + (s < strips ? s : g * kStripsPerGroup);
        };
        FilterLanes groups[kMaxFilterGroups];
        int realLanes[kMaxFilterGroups];
        bool anyStateVariable = false;
        bool anyLadder = false;
        for (int g = 0; g < groupCount; ++g) {
            VoiceFilter* filters[W];
            for (int l = 0; l < W; ++l) filters[l] = (l & 1) == 0 ? lefts[strip(g, l)] : rights[strip(g, l)];
            groups[g].load(filters, splat(-1));
            anyStateVariable = anyStateVariable || groups[g].anyStateVariable;
            anyLadder = anyLadder || groups[g].anyLadder;
            const int real = strips - g * kStripsPerGroup;
            realLanes[g] = 2 * (real < kStripsPerGroup ? real : kStripsPerGroup);
        }
        const float* source[kMaxFilterGroups][W];
        float* destination[kMaxFilterGroups][W];
        for (int g = 0; g < groupCount; ++g) {
            for (int l = 0; l < W; ++l) {
                source[g][l] = sources[strip(g, l)] + (l & 1);
                destination[g][l] = destinations[strip(g, l)] + (l & 1);
            }
        }
        const auto in = [&](int g, int i) {
            F v;
            for (int l = 0; l < W; ++l) v[l] = source[g][l][2 * i];
            return v;
        };
        const auto out = [&](int g, int i, F y) {
            for (int l = 0; l < realLanes[g]; ++l) destination[g][l][2 * i] = y[l];
        };
        switch (groupCount) {
            case 1:
                filterGroupsPass<1>(groups, anyStateVariable, anyLadder, in, out, n);
                break;
            case 2:
                filterGroupsPass<2>(groups, anyStateVariable, anyLadder, in, out, n);
                break;
            case 3:
                filterGroupsPass<3>(groups, anyStateVariable, anyLadder, in, out, n);
                break;
            default:
                filterGroupsPass<4>(groups, anyStateVariable, anyLadder, in, out, n);
                break;
        }
        for (int g = 0; g < groupCount; ++g) {
            VoiceFilter* filters[W];
            for (int l = 0; l < realLanes[g]; ++l) filters[l] = (l & 1) == 0 ? lefts[strip(g, l)] : rights[strip(g, l)];
            groups[g].storeBack(filters, realLanes[g]);
        }
    }
}

// A voice group's shaper, DC blocker and amplitude ramp.
struct FinishLanes {
    F drive, outputGain, bias, step, gain, a, b;
    I isOverdrive, isClip;

    void load(Voice* const* voices) {
        drive = gather([&](int l) { return voices[l]->shaper.drive; });
        outputGain = gather([&](int l) { return voices[l]->shaper.outputGain; });
        bias = gather([&](int l) { return voices[l]->shaper.bias; });
        const I mode = gatherValue([&](int l) { return voices[l]->shaper.mode & 15; });
        isOverdrive = mode == splat(1);
        isClip = mode == splat(2);
        step = gather([&](int l) { return voices[l]->amplitudeStep; });
        gain = gather([&](int l) { return voices[l]->amplitude; });
        a = gather([&](int l) { return voices[l]->dcBlocker.x1L; });
        b = gather([&](int l) { return voices[l]->dcBlocker.y1L; });
    }
    void storeBack(Voice* const* voices, int count) const {
        for (int l = 0; l < count; ++l) {
            voices[l]->dcBlocker.x1L = a[l];
            voices[l]->dcBlocker.y1L = b[l];
            voices[l]->amplitude = gain[l];
        }
    }
};

// Shaper (off, overdrive, clip), DC blocker and amplitude ramp of G groups, from their
// interleaved buffers to the lanes' work buffers; the groups' DC recurrences overlap in time.
template <int G, bool kOverdrive>
void finish(FinishLanes* groups, const float* const* sources, float* const* const* work, const int* counts, int n) {
    const F dc = splat(::zimblo::dsp::rates().dcCoefficient);
    const F guard = splat(kDenormalGuard);
    const F one = splat(1.0f);
    const F minusOne = splat(-1.0f);
    FinishLanes f[G];
    for (int g = 0; g < G; ++g) f[g] = groups[g];
    float out[W];
    for (int i = 0; i < n; ++i) {
#pragma GCC unroll 4
        for (int g = 0; g < G; ++g) {
            const F x = load(sources[g] + i * W);
            F t = x * f[g].drive + f[g].bias;
            t = pick(t > one, one, t);
            t = pick(t < minusOne, minusOne, t);
            F shaped = pick(f[g].isClip, f[g].outputGain * t, x);
            if constexpr (kOverdrive) {
                shaped = pick(f[g].isOverdrive, f[g].outputGain * arctangentCurve(x * f[g].drive + f[g].bias), shaped);
            }
            const F y = (((dc * f[g].b - f[g].a) + shaped) + guard) - guard;
            f[g].a = shaped;
            f[g].b = y;
            const F s = y * f[g].gain;
            f[g].gain = f[g].gain + f[g].step;
            store(out, s);
            for (int l = 0; l < counts[g]; ++l) work[g][l][i] = out[l];
        }
    }
    for (int g = 0; g < G; ++g) groups[g] = f[g];
}

// ---- Oscillators (oscillator.cpp, maths.cpp) ----

using ::zimblo::dsp::Oscillator;

// fraction(v) of every lane: exact, (v >> 9) is below 2^23.
inline F fractionOf(U v) { return __builtin_convertvector(reinterpret_cast<I>(v >> 9), F) * splat(0x1p-23f); }

// sinePolynomialFactor, Horner from the inside.
inline F sinePolynomial(F y) {
    const F y2 = y * y;
    F p = y2 * splat(-0.00018542f);
    p = splat(0.0083143f) + p;
    p = y2 * p;
    p = splat(-0.16666f) + p;
    p = y2 * p;
    p = splat(1.0f) + p;
    return p;
}

// The exact remainder of x by 2π, as remainderOfTurn gives it: in double x − q·2π is exact
// for any whole q with |q| < 2^29 (a 24-bit constant times q fits 53 bits, and the
// difference, a multiple of 2^-21 below 2^31, too). q = trunc(x · (1/2π)) is the whole
// number of turns or one off either way (the product is within 2^-52 relative of x/2π, far
// less than a turn), which leaves the remainder one period off its range, [0, 2π) for x >= 0
// and (−2π, 0] below: one exact step of 2π mends it. A multiply replaces the division,
// which would cost more than the whole sine. A zero takes the sign of x, as the remainder's
// does. Lanes of 2^31 or more in magnitude, infinities and NaNs take remainderOfTurn itself.
// The sine below takes this way only for lanes of 8192 or more in magnitude.
inline H remainderHalf(H x) {
    constexpr double kPeriod = static_cast<double>(::zimblo::dsp::kTwoPi);
    constexpr double kTurnsPerRadian = 1.0 / kPeriod;
    const D X = widen(x);
    const auto q = __builtin_convertvector(X * kTurnsPerRadian, J);
    D r = X - __builtin_convertvector(q, D) * kPeriod;
    typedef int64_t L __attribute__((vector_size(sizeof(D))));
    const L positive = X >= 0.0;
    const L below = positive ? L(r < 0.0) : L(r <= -kPeriod);
    const L above = positive ? L(r >= kPeriod) : L(r > 0.0);
    r = below ? r + kPeriod : r;
    r = above ? r - kPeriod : r;
    return narrow(r);
}
inline F remainderTwoPi(F x) {
    F r = join(remainderHalf(lowHalf(x)), remainderHalf(highHalf(x)));
    const I bits = reinterpret_cast<I>(x);
    const I zero = r == splat(0.0f);
    r = reinterpret_cast<F>(zero ? bits & splat(static_cast<int32_t>(0x80000000u)) : reinterpret_cast<I>(r));
    const I outside = ~(reinterpret_cast<F>(bits & splat(0x7FFFFFFF)) < splat(0x1p31f));
    if (any(outside)) {
        for (int l = 0; l < W; ++l) {
            if (outside[l] != 0) r[l] = ::zimblo::dsp::remainderOfTurn(x[l]);
        }
    }
    return r;
}

// sine()'s turn, r = remainderOfTurn(x) and then r + 2π where that is negative, in float
// alone for |x| < 8192. 2π (the float kTwoPi, 24 bits) splits exactly into 201/32 (8 bits)
// and a 12-bit rest. q is the whole number nearest x·(1/2π) (adding and taking away 1.5·2^23
// rounds it), |q| <= 1304, so q·(201/32) and q·rest are exact. x − q·(201/32) is exact: for
// |x| >= 4 both terms are multiples of 2^-21 and the difference lies below 8 (|x − q·2π| is
// about π at most, q·rest below 2.6); for smaller x, q is 0 or ±1 and the two terms are
// within a factor of two. Taking q·rest away then gives x − q·2π exactly, as that is a
// multiple of x's or 2π's spacing below 4 or 8. Where it is negative, adding 2π is the
// remainder's own mending step for x > 0 (exact: the sum is the remainder) and sine()'s add
// for x < 0 (the same rounded sum); where it is positive it is already sine()'s r. A zero
// takes the sign of x. All 2,348,810,240 floats below 8192 in magnitude give the bits of
// the double reduction; other lanes take it.
__attribute__((always_inline)) inline F sineTurn(F x) {
    constexpr float kTwoPiHigh = 201.0f / 32.0f;
    constexpr float kTwoPiRest = ::zimblo::dsp::kTwoPi - kTwoPiHigh;
    constexpr float kTurnsPerRadian = 1.0f / ::zimblo::dsp::kTwoPi;
    const F rounding = splat(0x1.8p23f);
    const F twoPi = splat(::zimblo::dsp::kTwoPi);
    const F q = (x * splat(kTurnsPerRadian) + rounding) - rounding;
    const F centred = (x - q * splat(kTwoPiHigh)) - q * splat(kTwoPiRest);
    F r = pick(centred < splat(0.0f), centred + twoPi, centred);
    const I bits = reinterpret_cast<I>(x);
    const I sign = splat(static_cast<int32_t>(0x80000000u));
    r = reinterpret_cast<F>(r == splat(0.0f) ? bits & sign : reinterpret_cast<I>(r));
    const I far = ~(reinterpret_cast<F>(bits & ~sign) < splat(8192.0f));
    if (any(far)) {
        const F remainder = remainderTwoPi(x);
        r = pick(far, pick(remainder < splat(0.0f), remainder + twoPi, remainder), r);
    }
    return r;
}

// sine() of every lane.
__attribute__((always_inline)) inline F sineOf(F x) {
    const F r = sineTurn(x);
    F y = pick(r <= splat(::zimblo::dsp::kThreeHalfPi), splat(::zimblo::dsp::kPi) - r,
               r - splat(::zimblo::dsp::kTwoPi));
    y = pick(r <= splat(::zimblo::dsp::kHalfPi), r, y);
    return y * sinePolynomial(y);
}

// sine() of n values, W at a time: the phase-modulated sine's own code, for the checks of its
// reduction over every float.
inline void sines(const float* x, float* y, int n) {
    for (int i = 0; i < n; i += W) {
        const int count = n - i < W ? n - i : W;
        F v = splat(0.0f);
        for (int l = 0; l < count; ++l) v[l] = x[i + l];
        const F s = sineOf(v);
        for (int l = 0; l < count; ++l) y[i + l] = s[l];
    }
}

// Box-filter case index k & caseMask of every lane (caseIndex in oscillator.cpp).
inline I caseOf(U p, U increment, U threshold, I caseMask) {
    const I previousBelow = (p - increment) < threshold;
    const I wrapped = p < increment;
    const I currentBelow = p < threshold;
    return ((previousBelow & splat(4)) | (wrapped & splat(2)) | (currentBelow & splat(1))) & caseMask;
}
inline I isCase(I k, int a) { return k == splat(a); }
inline I isCase(I k, int a, int b) { return (k == splat(a)) | (k == splat(b)); }

// One oscillator slot of the group: every waveform some lane plays runs over all lanes and
// lands in that waveform's lanes only.
struct OscillatorLanes {
    Voice* const* voices;
    int slot;
    VoiceLaneScratch& scratch;
    const Oscillator& osc(int l) const { return voices[l]->oscillators[slot]; }

    // The box-filtered shapes: most samples lie on one segment (cases 0, 1, 5, 6), where
    // steady(p, k) gives the lanes' value; only a sample where some active lane crosses an edge
    // needs the edge formulas of edges(p, k), which give the segments' values too. The first
    // pass lists those samples with the buffer before them, the second redoes them in full.
    // Returns the phase after n samples.
    template <class Steady, class Edges>
    U runEdges(float* buffer, int n, I active, I multiply, U start, U increment, U threshold, I caseMask,
               Steady steady, Edges edges) const {
        float* before = scratch.crossingBefore.data();
        int32_t* at = scratch.crossingAt.data();
        int listed = 0;
        U p = start;
        for (int i = 0; i < n; ++i) {
            const I k = caseOf(p, increment, threshold, caseMask);
            const F old = load(buffer + i * W);
            const F y = steady(p, k);
            store(buffer + i * W, pick(active, pick(multiply, old * y, old + y), old));
            const I crossing = ~(isCase(k, 0, 6) | isCase(k, 1, 5)) & active;
            store(before + listed * W, old);
            at[listed] = i;
            listed += any(crossing) ? 1 : 0;
            p = p + increment;
        }
        for (int j = 0; j < listed; ++j) {
            const int i = at[j];
            const U q = start + increment * static_cast<uint32_t>(i);
            const F old = load(before + j * W);
            const F y = edges(q, caseOf(q, increment, threshold, caseMask));
            store(buffer + i * W, pick(active, pick(multiply, old * y, old + y), old));
        }
        return p;
    }

    template <bool kReplacing, class Shape>
    static void run(float* buffer, int n, I active, I multiply, Shape shape) {
        for (int i = 0; i < n; ++i) {
            const F old = load(buffer + i * W);
            const F y = shape(old);
            const F combined = kReplacing ? pick(multiply, y * old, y) : pick(multiply, old * y, old + y);
            store(buffer + i * W, pick(active, combined, old));
        }
    }

    void render(float* buffer, int n, int count) const {
        const I kind = gatherValue([&](int l) { return osc(l).waveform & 7; });
        const I multiply = gatherInt([&](int l) { return (osc(l).flags & 1) != 0; });
        const F g = gather([&](int l) { return osc(l).gain; });
        U increment;
        U threshold;
        U phase;
        for (int l = 0; l < W; ++l) {
            increment[l] = osc(l).increment;
            threshold[l] = osc(l).colourThreshold;
            phase[l] = osc(l).phase;
        }
        U p = phase;
        bool phaseRuns = false;
        auto advance = [&] { p = p + increment; };

        const I triangleSaw = kind == splat(1);
        if (any(triangleSaw)) {
            ::zimblo::dsp::TriangleSawShape shapes[W];
            for (int l = 0; l < W; ++l) shapes[l] = ::zimblo::dsp::triangleSawShape(osc(l));
            const F c = gather([&](int l) { return shapes[l].c; });
            const F f = gather([&](int l) { return shapes[l].f; });
            const F a = gather([&](int l) { return shapes[l].a; });
            const F b = gather([&](int l) { return shapes[l].b; });
            const F inverseF = gather([&](int l) { return shapes[l].inverseF; });
            const F aOneMinusF = gather([&](int l) { return shapes[l].aOneMinusF; });
            const F bOneMinusF = gather([&](int l) { return shapes[l].bOneMinusF; });
            const I caseMask = gatherValue([&](int l) { return static_cast<int32_t>(shapes[l].caseMask); });
            const F two = splat(2.0f);
            const F one = splat(1.0f);
            // g + S·(2d − f) on either segment.
            const auto steady = [&](U q, I k) {
                const F d = fractionOf(q) - c;
                return g + pick(isCase(k, 0, 6), b, a) * (two * d - f);
            };
            const auto edges = [&](U q, I k) {
                const F d = fractionOf(q) - c;
                const F twoDMinusF = two * d - f;
                const F beforeStart = (one + d) - f;
                const F beforePeak = d - f;
                const F wrapSpan = (two * d + one) - f;
                // Cases sharing a formula's operations share them, each lane's own
                // operands picked first: g + S·(2d − f) on either segment, and
                // g − (X + g)/f for the crossings of the cycle start (2, 3, 7).
                const I falling = isCase(k, 0, 6);
                const I crossedStart = isCase(k, 3);
                const I crossedBoth = isCase(k, 7);
                const I crossedPeak = isCase(k, 4);
                const F segment = g + pick(falling, b, a) * twoDMinusF;
                const F wrapped = pick(crossedBoth, aOneMinusF, bOneMinusF) * wrapSpan;
                const F start = pick(crossedStart, beforeStart * beforeStart * b - d * d * a, wrapped);
                const F crossing = g - (start + g) * inverseF;
                F y = pick(falling | isCase(k, 1, 5), segment, crossing);
                y = pick(crossedPeak, g + (d * d * b - beforePeak * beforePeak * a) * inverseF, y);
                return y;
            };
            const U end = runEdges(buffer, n, triangleSaw, multiply, phase, increment, threshold, caseMask, steady, edges);
            phase = triangleSaw ? end : phase;
            phaseRuns = true;
        }
        const I pulse = kind == splat(2);
        if (any(pulse)) {
            ::zimblo::dsp::PulseShape shapes[W];
            for (int l = 0; l < W; ++l) shapes[l] = ::zimblo::dsp::pulseShape(osc(l));
            const F c = gather([&](int l) { return shapes[l].c; });
            const F gOverF = gather([&](int l) { return shapes[l].gOverF; });
            const I caseMask = gatherValue([&](int l) { return static_cast<int32_t>(shapes[l].caseMask); });
            const F two = splat(2.0f);
            const F minusG = -g;
            const auto steady = [&](U, I k) { return pick(isCase(k, 0, 6), minusG, g); };
            const auto edges = [&](U q, I k) {
                const F phi = fractionOf(q);
                F y = two * c * gOverF - g;  // 2
                y = pick(isCase(k, 0, 6), minusG, y);
                y = pick(isCase(k, 1, 5), g, y);
                y = pick(isCase(k, 3), two * phi * gOverF - g, y);
                y = pick(isCase(k, 4), two * (c - phi) * gOverF + g, y);
                y = pick(isCase(k, 7), g + (two * c - two) * gOverF, y);
                return y;
            };
            const U end = runEdges(buffer, n, pulse, multiply, phase, increment, threshold, caseMask, steady, edges);
            phase = pulse ? end : phase;
            phaseRuns = true;
        }
        const I sine = kind == splat(3);
        if (any(sine)) {
            p = phase;
            run<false>(buffer, n, sine, multiply, [&](F) {
                U q = p + splatU(0x40000000u);
                const I folded = (q & splatU(0x80000000u)) != splatU(0);
                q = folded ? ~q : q;
                const F t = __builtin_convertvector(reinterpret_cast<I>(q >> 8), F) * splat(0x1p-23f);
                const F x = splat(::zimblo::dsp::kPi) * (splat(1.0f) + t) - splat(::zimblo::dsp::kThreeHalfPi);
                advance();
                return g * x * sinePolynomial(x);
            });
            phase = sine ? p : phase;
            phaseRuns = true;
        }
        const I noise = kind == splat(4);
        if (any(noise)) {
            const F frequency = gather([&](int l) { return osc(l).noiseFrequency; });
            const F damping = gather([&](int l) { return osc(l).noiseDamping; });
            U seed;
            for (int l = 0; l < W; ++l) seed[l] = osc(l).noiseSeed;
            F low = gather([&](int l) { return osc(l).noiseLow; });
            F band = gather([&](int l) { return osc(l).noiseBand; });
            run<false>(buffer, n, noise, multiply, [&](F) {
                seed = seed * splatU(196314165u) + splatU(907633515u);
                const F w = __builtin_convertvector(reinterpret_cast<I>(seed >> 9), F) * splat(0x1p-22f) - splat(1.0f);
                low = low + frequency * band;
                const F high = w - damping * band - low;
                band = band + frequency * high;
                return g * (band + damping * (high + low));
            });
            for (int l = 0; l < count; ++l) {
                if (noise[l] == 0) continue;
                Oscillator& target = voices[l]->oscillators[slot];
                target.noiseSeed = seed[l];
                target.noiseLow = low[l];
                target.noiseBand = band[l];
            }
        }
        const I phaseModSine = kind == splat(5);
        if (any(phaseModSine)) {
            p = phase;
            run<true>(buffer, n, phaseModSine, multiply, [&](F m) {
                const F y = g * sineOf(splat(::zimblo::dsp::kTwoPi) * (splat(1.0f) + fractionOf(p) + splat(2.0f) * m));
                advance();
                return y;
            });
            phase = phaseModSine ? p : phase;
            phaseRuns = true;
        }
        if (phaseRuns) {
            for (int l = 0; l < count; ++l) voices[l]->oscillators[slot].phase = phase[l];
        }
    }
};

// Groups stepped through the filters and the finish together: enough to hide a ladder's
// latency (four took the 64-voice worst case about 5% further than two).
constexpr int kGroupsTogether = ::zimblo::dsp::kMaxGroupsTogether;

template <int G>
void renderBatch(const ::zimblo::dsp::VoiceGroup* batch, int n, VoiceLaneScratch& scratch) {
    Voice* voices[G][W];
    float* buffers[G];
    float* const* work[G];
    int counts[G];
    ChainLanes chains[G];
    for (int g = 0; g < G; ++g) {
        const int count = batch[g].count;
        counts[g] = count;
        work[g] = batch[g].work;
        for (int l = 0; l < W; ++l) voices[g][l] = batch[g].voices[l < count ? l : 0];
        buffers[g] = scratch.input.data() + g * (kMaxFrameLength * ::zimblo::dsp::kMaxLanes);
        std::memset(buffers[g], 0, sizeof(float) * static_cast<size_t>(n * W));
        for (int slot = 0; slot < 3; ++slot) OscillatorLanes{voices[g], slot, scratch}.render(buffers[g], n, count);

        ChainLanes& chain = chains[g];
        const I routing = gatherValue([&](int l) { return voices[g][l]->routing & 0xFF; });
        chain.single = routing == splat(0);
        chain.parallel = routing == splat(2);
        chain.serial = ~chain.single & ~chain.parallel;
        chain.anySecond = any(~chain.single);
        VoiceFilter* firstFilters[W];
        VoiceFilter* lastFilters[W];
        for (int l = 0; l < W; ++l) {
            firstFilters[l] = &voices[g][l]->filters[0];
            lastFilters[l] = &voices[g][l]->filters[1];
        }
        chain.first.load(firstFilters, splat(-1));
        chain.last.load(lastFilters, ~chain.single);
        chain.mix1 = gather([&](int l) { return voices[g][l]->filter1MixGain; });
        chain.mix2 = gather([&](int l) { return voices[g][l]->filter2MixGain; });
    }

    chainFilters<G>(chains, buffers, n);
    FinishLanes finishes[G];
    bool anyOverdrive = false;
    for (int g = 0; g < G; ++g) {
        VoiceFilter* firstFilters[W];
        VoiceFilter* lastFilters[W];
        for (int l = 0; l < counts[g]; ++l) {
            firstFilters[l] = &voices[g][l]->filters[0];
            lastFilters[l] = &voices[g][l]->filters[1];
        }
        chains[g].first.storeBack(firstFilters, counts[g]);
        chains[g].last.storeBack(lastFilters, counts[g]);
        finishes[g].load(voices[g]);
        anyOverdrive = anyOverdrive || any(finishes[g].isOverdrive);
    }
    if (anyOverdrive) {
        finish<G, true>(finishes, buffers, work, counts, n);
    } else {
        finish<G, false>(finishes, buffers, work, counts, n);
    }
    for (int g = 0; g < G; ++g) finishes[g].storeBack(voices[g], counts[g]);
}

// What a group runs in the filters and the finish: a bit for each filter family in each slot,
// one for the second slot and one for the overdrive. Groups step together only with equal
// signatures: a family or the overdrive one group runs would cost every group its operations.
inline int signatureOf(const ::zimblo::dsp::VoiceGroup& group) {
    int signature = 0;
    for (int l = 0; l < group.count; ++l) {
        const Voice& voice = *group.voices[l];
        const uint32_t type1 = static_cast<uint32_t>(voice.filters[0].type) & 7u;
        const uint32_t type2 = static_cast<uint32_t>(voice.filters[1].type) & 7u;
        const bool second = (voice.routing & 0xFF) != 0;
        if (type1 >= 1 && type1 <= 5) signature |= 1;
        if (type1 >= 6) signature |= 2;
        if (second) signature |= 4;
        if (second && type2 >= 1 && type2 <= 5) signature |= 8;
        if (second && type2 >= 6) signature |= 16;
        if ((voice.shaper.mode & 15) == 1) signature |= 32;
    }
    return signature;
}

// Voice::renderOscillators, renderChain and applyAmplitude of every voice of the groups: runs
// of neighbouring groups with equal signatures, up to kGroupsTogether at a time and shared
// evenly (five groups run as three and two, not four and one).
inline void renderVoices(const ::zimblo::dsp::VoiceGroup* groups, int groupCount, int n, VoiceLaneScratch& scratch) {
    for (int start = 0; start < groupCount;) {
        const int signature = signatureOf(groups[start]);
        int end = start + 1;
        while (end < groupCount && signatureOf(groups[end]) == signature) ++end;
        int batches = (end - start + kGroupsTogether - 1) / kGroupsTogether;
        for (int first = start; first < end; --batches) {
            const int size = (end - first + batches - 1) / batches;
            const ::zimblo::dsp::VoiceGroup* batch = groups + first;
            first += size;
            switch (size) {
                case 1:
                    renderBatch<1>(batch, n, scratch);
                    break;
                case 2:
                    renderBatch<2>(batch, n, scratch);
                    break;
                case 3:
                    renderBatch<3>(batch, n, scratch);
                    break;
                default:
                    renderBatch<4>(batch, n, scratch);
                    break;
            }
        }
        start = end;
    }
}

#undef ZIMBLO_EACH_GROUP

}  // namespace kernel
