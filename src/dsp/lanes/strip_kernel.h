// The channel strips' dynamics and bass shelf side by side: Dynamics::process then
// LowShelf::process of several strips, written once over a lane count W and compiled per
// instruction set (dynamics.cpp and low_shelf.cpp hold the scalar reference; read them side by
// side). A strip's left and right run in lanes 2j and 2j + 1, W/2 strips to a group and up to
// kMaxStripGroups groups stepped through the frames together, so the latency chains of the
// recurrences (peak envelope, RMS running sum, gain smoothing, the shelf's biquad) of many
// strips overlap instead of running one strip after another.
//
// Per frame and lane, in the scalar order:
//   d      = (L + R)·0.5 (linked) or the lane's own side (stereo)
//   env    = max(|d|, env·0.9998 + ε)                         peak detectors
//   sum    = (sum − window[k]) + (d + ε)²,  window[k] = (d + ε)²   RMS detectors
//   level  = env·(1/T) or sqrt(sum)·(1/sqrt(8192))·(1/T)  (sum <= 0 gives 0)
//   gain  += (target − gain)·c, delayed out of the lookahead line, x/T into it
//   y      = delayed·outGain·gain, then the shelf's biquad on y + ε.
// The scalar unit runs its detector over the block first and then each side's gain pass; every
// value depends only on its own chain, so one fused pass gives the same bits. Both detectors
// are computed when a pass holds both kinds and each lane keeps its own (masks); the RMS part
// (window gathers, square root) and the shelf only run when some strip of the pass needs them.
// Bypassed dynamics and shelves that are off pass their input on and keep their state.
// Sixteen busy strips over 128 frames (BM_StripDynamicsAndShelves, one core): about 27 µs one
// strip after another, 12 (peak) to 16 (RMS) µs with SSE2, 7 to 10 µs with AVX2.
//
// Memory of a strip is reached per strip: the input and output frames and the lookahead slot
// (left and right of one frame, one 64-bit move), the RMS window per lane (linked strips read
// and write one float from both lanes, stereo ones a pair). Strips without a lookahead line or
// RMS window in use, and a group's spare lanes, read and write a sink instead.
//
// Include after voice_chain_kernel.h, in the same namespace, with "fx/dynamics.h" and
// "fx/low_shelf.h" included before it.
namespace kernel {

using ::zimblo::fx::Dynamics;
using ::zimblo::fx::LowShelf;

constexpr int kStripsPerGroup = W / 2;
// Groups stepped together: with four lanes two groups run fastest (more spill the sixteen SSE
// registers), wider lanes keep four.
constexpr int kMaxStripGroups = W == 4 ? 2 : 4;

// A lane pair's two floats as one 64-bit integer: moved, never computed on.
typedef uint64_t Pairs __attribute__((vector_size(4 * W)));
typedef uint64_t UnalignedPair __attribute__((aligned(4), may_alias));

// Vectors built from their elements in registers (never stored lane by lane and reloaded,
// which stalls the load until the stores have gone).
template <class Get, int... J>
inline Pairs pairsOf(const Get& get, std::integer_sequence<int, J...>) {
    return Pairs{get(J)...};
}
template <class Get, int... L>
inline F lanesOf(const Get& get, std::integer_sequence<int, L...>) {
    return F{get(L)...};
}
inline F loadPair(const float* const* at, int offset) {
    return reinterpret_cast<F>(pairsOf([&](int j) { return *reinterpret_cast<const UnalignedPair*>(at[j] + offset); },
                                       std::make_integer_sequence<int, kStripsPerGroup>{}));
}
inline void storePair(float* const* at, int offset, F value) {
    const Pairs v = reinterpret_cast<Pairs>(value);
#pragma GCC unroll 8
    for (int j = 0; j < kStripsPerGroup; ++j) *reinterpret_cast<UnalignedPair*>(at[j] + offset) = v[j];
}
// Left and right of every pair exchanged.
inline F swapSides(F x) {
    const Pairs v = reinterpret_cast<Pairs>(x);
    return reinterpret_cast<F>((v << 32) | (v >> 32));
}
inline F magnitudeOf(F x) { return reinterpret_cast<F>(reinterpret_cast<I>(x) & splat(0x7FFFFFFF)); }
// IEEE square roots of every lane, in registers.
inline F squareRoot(F x) {
#if ZIMBLO_LANES == 4
    return __builtin_ia32_sqrtps(x);
#elif ZIMBLO_LANES == 8
    return __builtin_ia32_sqrtps256(x);
#else
    return join(__builtin_ia32_sqrtps256(lowHalf(x)), __builtin_ia32_sqrtps256(highHalf(x)));
#endif
}

// One group of strips: settings as lane masks, coefficients, states, and the strips' memory.
struct StripLanes {
    I isRight, linked, rms, dynamicsOn, shelfOn;
    F invThreshold, ratio, outGain, attack, release;
    F b0, b1, b2, a1, a2;
    F envelope, sum, gain;
    F x1, x2, y1, y2;
    const float* in[kStripsPerGroup];
    float* out[kStripsPerGroup];
    float* line[kStripsPerGroup];  // lookahead pairs (StereoFrame::left of slot 0)
    int32_t lookIndex[kStripsPerGroup];
    int32_t lookahead[kStripsPerGroup];
    float* window[kStripsPerGroup];          // RMS window (or a sink)
    int32_t windowStride[kStripsPerGroup];   // floats per frame: 1 linked, 2 stereo, 0 sink
    int32_t windowSide[kStripsPerGroup];     // the right lane's float of a frame: 1 stereo, else 0
    uint32_t rmsIndex[kStripsPerGroup];
};

// Where strips without a line or window in use, and spare strips, read and write.
struct StripSinks {
    StereoFrame frames[::zimblo::dsp::kMaxFrameLength];
    StereoFrame line[kStripsPerGroup];
    float window[W];
};

inline bool isBypassed(const Dynamics& dynamics) { return (dynamics.mode & Dynamics::kBypassBit) != 0; }
inline bool isRms(const Dynamics& dynamics) {
    const auto detector = static_cast<::zimblo::fx::Detector>(dynamics.mode & 3);
    return detector == ::zimblo::fx::Detector::LinkedRms || detector == ::zimblo::fx::Detector::StereoRms;
}
inline bool isLinked(const Dynamics& dynamics) { return (dynamics.mode & 2) == 0; }

// Loads a group; strips[j] is -1 for a spare strip, which reads the frames of the group's
// first strip (before that strip writes them) and writes the sinks.
inline void loadStrips(StripLanes& s, Dynamics* const* dynamics, LowShelf* const* shelves, const int* strips,
                       StereoFrame* const* buffers, StripSinks& sinks) {
    const auto dyn = [&](int l) -> const Dynamics* {
        const int strip = strips[l / 2];
        return strip < 0 ? nullptr : dynamics[strip];
    };
    const auto shelf = [&](int l) -> const LowShelf* {
        const int strip = strips[l / 2];
        return strip < 0 ? nullptr : shelves[strip];
    };
    const auto on = [&](int l) { return dyn(l) != nullptr && !isBypassed(*dyn(l)); };
    const auto rmsOn = [&](int l) { return on(l) && isRms(*dyn(l)); };
    const auto right = [](int l) { return (l & 1) != 0; };
    // A linked detector's right lane runs the left one's chain.
    const auto detectorSide = [&](int l) { return right(l) && !isLinked(*dyn(l)); };

    s.isRight = gatherInt(right);
    s.dynamicsOn = gatherInt(on);
    s.linked = gatherInt([&](int l) { return on(l) && isLinked(*dyn(l)); });
    s.rms = gatherInt(rmsOn);
    s.shelfOn = gatherInt([&](int l) { return shelf(l) != nullptr && shelf(l)->enable != 0; });
    const auto field = [&](float Dynamics::*member) {
        return gather([&](int l) { return on(l) ? dyn(l)->*member : 0.0f; });
    };
    s.invThreshold = field(&Dynamics::invThreshold);
    s.ratio = field(&Dynamics::ratio);
    s.outGain = field(&Dynamics::outGain);
    s.attack = field(&Dynamics::attack);
    s.release = field(&Dynamics::release);
    s.envelope = gather([&](int l) { return !on(l) ? 0.0f : detectorSide(l) ? dyn(l)->peakR : dyn(l)->peakL; });
    s.sum = gather([&](int l) { return !on(l) ? 0.0f : detectorSide(l) ? dyn(l)->rmsSumR : dyn(l)->rmsSumL; });
    s.gain = gather([&](int l) { return !on(l) ? 0.0f : right(l) ? dyn(l)->gainR : dyn(l)->gainL; });
    const auto coefficient = [&](float LowShelf::*member) {
        return gather([&](int l) { return shelf(l) != nullptr ? shelf(l)->*member : 0.0f; });
    };
    s.b0 = coefficient(&LowShelf::b0);
    s.b1 = coefficient(&LowShelf::b1);
    s.b2 = coefficient(&LowShelf::b2);
    s.a1 = coefficient(&LowShelf::a1);
    s.a2 = coefficient(&LowShelf::a2);
    const auto state = [&](float LowShelf::*left, float LowShelf::*rightSide) {
        return gather([&](int l) { return shelf(l) == nullptr ? 0.0f : shelf(l)->*(right(l) ? rightSide : left); });
    };
    s.x1 = state(&LowShelf::x1L, &LowShelf::x1R);
    s.x2 = state(&LowShelf::x2L, &LowShelf::x2R);
    s.y1 = state(&LowShelf::y1L, &LowShelf::y1R);
    s.y2 = state(&LowShelf::y2L, &LowShelf::y2R);

    for (int j = 0; j < kStripsPerGroup; ++j) {
        const int strip = strips[j];
        const bool spare = strip < 0;
        s.in[j] = &buffers[spare ? strips[0] : strip]->left;
        s.out[j] = spare ? &sinks.frames[0].left : &buffers[strip]->left;
        Dynamics* unit = spare ? nullptr : dynamics[strip];
        const bool running = unit != nullptr && !isBypassed(*unit);
        s.line[j] = running ? &unit->lookLine[0].left : &sinks.line[j].left;
        s.lookIndex[j] = running ? unit->lookIndex : 0;
        s.lookahead[j] = running ? unit->lookahead : 0;
        const bool rmsWindow = running && isRms(*unit);
        s.rmsIndex[j] = rmsWindow ? static_cast<uint32_t>(unit->rmsIndex) : 0u;
        s.window[j] = rmsWindow ? unit->rmsWindow.data() : &sinks.window[2 * j];
        s.windowStride[j] = !rmsWindow ? 0 : isLinked(*unit) ? 1 : 2;
        s.windowSide[j] = rmsWindow && !isLinked(*unit) ? 1 : 0;
    }
}

// Writes back what the scalar units would have changed.
inline void storeStrips(const StripLanes& s, Dynamics* const* dynamics, LowShelf* const* shelves, const int* strips) {
    for (int j = 0; j < kStripsPerGroup; ++j) {
        if (strips[j] < 0) continue;
        const int left = 2 * j;
        const int right = 2 * j + 1;
        Dynamics& unit = *dynamics[strips[j]];
        if (!isBypassed(unit)) {
            unit.gainL = s.gain[left];
            unit.gainR = s.gain[right];
            unit.lookIndex = s.lookIndex[j];
            if (isRms(unit)) {
                unit.rmsSumL = s.sum[left];
                if (!isLinked(unit)) unit.rmsSumR = s.sum[right];
                unit.rmsIndex = static_cast<int32_t>(s.rmsIndex[j]);
            } else {
                unit.peakL = s.envelope[left];
                if (!isLinked(unit)) unit.peakR = s.envelope[right];
            }
        }
        LowShelf& shelf = *shelves[strips[j]];
        if (shelf.enable != 0) {
            shelf.x1L = s.x1[left];
            shelf.x1R = s.x1[right];
            shelf.x2L = s.x2[left];
            shelf.x2R = s.x2[right];
            shelf.y1L = s.y1[left];
            shelf.y1R = s.y1[right];
            shelf.y2L = s.y2[left];
            shelf.y2R = s.y2[right];
        }
    }
}

// Frame i of one group.
template <bool kDynamics, bool kRms, bool kShelf>
__attribute__((always_inline)) inline void stripStep(StripLanes& s, int i) {
    const F one = splat(1.0f);
    const F guard = splat(kDenormalGuard);
    const F x = loadPair(s.in, 2 * i);
    F y = x;
    if constexpr (kDynamics) {
        // Detector: both lanes of a linked strip form L + R in that order.
        const F swapped = swapSides(x);
        const F left = pick(s.isRight, swapped, x);
        const F right = pick(s.isRight, x, swapped);
        const F d = pick(s.linked, (left + right) * splat(0.5f), x);
        const F magnitude = magnitudeOf(d);
        const F decayed = s.envelope * splat(Dynamics::kPeakDecay) + guard;
        s.envelope = pick(magnitude > decayed, magnitude, decayed);
        F level = s.envelope * s.invThreshold;
        if constexpr (kRms) {
            const F v = d + guard;
            const F square = v * v;
            float* frames[kStripsPerGroup];
#pragma GCC unroll 8
            for (int j = 0; j < kStripsPerGroup; ++j) {
                frames[j] = s.window[j] + static_cast<int32_t>(s.rmsIndex[j]) * s.windowStride[j];
            }
            const F leaving = lanesOf([&](int l) { return frames[l / 2][(l & 1) * s.windowSide[l / 2]]; },
                                      std::make_integer_sequence<int, W>{});
            s.sum = (s.sum - leaving) + square;
#pragma GCC unroll 8
            for (int j = 0; j < kStripsPerGroup; ++j) {
                frames[j][0] = square[2 * j];
                frames[j][s.windowSide[j]] = square[2 * j + 1];
            }
            for (int j = 0; j < kStripsPerGroup; ++j) {
                s.rmsIndex[j] = (s.rmsIndex[j] + 1u) & (Dynamics::kRmsFrames - 1);
            }
            const F root = pick(s.sum > splat(0.0f), squareRoot(s.sum), splat(0.0f));
            level = pick(s.rms, root * splat(Dynamics::kRmsNormalise) * s.invThreshold, level);
        }

        // Gain pass: the delayed frame out of the line, this one into it.
        float* slots[kStripsPerGroup];
        for (int j = 0; j < kStripsPerGroup; ++j) slots[j] = s.line[j] + 2 * s.lookIndex[j];
        const F delayed = loadPair(slots, 0);
        storePair(slots, 0, x * s.invThreshold);
        for (int j = 0; j < kStripsPerGroup; ++j) {
            const int32_t next = s.lookIndex[j] + 1;
            s.lookIndex[j] = next > s.lookahead[j] ? 0 : next;
        }
        const F target = pick(level < one, one, one / (one + (level - one) * s.ratio));
        const F coefficient = pick(target < s.gain, s.attack, s.release);
        s.gain = s.gain + (target - s.gain) * coefficient;
        y = pick(s.dynamicsOn, delayed * s.outGain * s.gain, x);
    }
    if constexpr (kShelf) {
        const F v = y + guard;
        const F z = (((s.b0 * v + s.b1 * s.x1) + s.b2 * s.x2) - s.a1 * s.y1) - s.a2 * s.y2;
        s.x2 = s.x1;
        s.x1 = v;
        s.y2 = s.y1;
        s.y1 = z;
        y = pick(s.shelfOn, z, y);
    }
    storePair(s.out, 2 * i, y);
}

template <int G, bool kDynamics, bool kRms, bool kShelf>
void runStripGroups(StripLanes* groups, int n) {
    StripLanes s[G];
    for (int g = 0; g < G; ++g) s[g] = groups[g];
    for (int i = 0; i < n; ++i) {
#pragma GCC unroll 4
        for (int g = 0; g < G; ++g) stripStep<kDynamics, kRms, kShelf>(s[g], i);
    }
    for (int g = 0; g < G; ++g) groups[g] = s[g];
}

template <int G>
void stripGroupsPass(StripLanes* groups, bool anyDynamics, bool anyRms, bool anyShelf, int n) {
    if (anyRms) {
        if (anyShelf) runStripGroups<G, true, true, true>(groups, n);
        else runStripGroups<G, true, true, false>(groups, n);
    } else if (anyDynamics) {
        if (anyShelf) runStripGroups<G, true, false, true>(groups, n);
        else runStripGroups<G, true, false, false>(groups, n);
    } else if (anyShelf) {
        runStripGroups<G, false, false, true>(groups, n);
    }
}

// The pass for groupCount groups, at most G.
template <int G>
void stripGroupsUpTo(StripLanes* groups, int groupCount, bool anyDynamics, bool anyRms, bool anyShelf, int n) {
    if constexpr (G > 1) {
        if (groupCount < G) {
            stripGroupsUpTo<G - 1>(groups, groupCount, anyDynamics, anyRms, anyShelf, n);
            return;
        }
    }
    stripGroupsPass<G>(groups, anyDynamics, anyRms, anyShelf, n);
}

// Dynamics::process then LowShelf::process of count strips, each on its own buffer of n frames
// in place.
inline void processStrips(Dynamics* const* dynamics, LowShelf* const* shelves, StereoFrame* const* buffers,
                          int count, int n) {
    constexpr int kStripsPerPass = kStripsPerGroup * kMaxStripGroups;
    StripSinks sinks;
    for (int first = 0; first < count; first += kStripsPerPass) {
        const int strips = count - first < kStripsPerPass ? count - first : kStripsPerPass;
        const int groupCount = (strips + kStripsPerGroup - 1) / kStripsPerGroup;
        StripLanes groups[kMaxStripGroups];
        int members[kMaxStripGroups][kStripsPerGroup];
        bool anyDynamics = false;
        bool anyRms = false;
        bool anyShelf = false;
        for (int g = 0; g < groupCount; ++g) {
            for (int j = 0; j < kStripsPerGroup; ++j) {
                const int s = g * kStripsPerGroup + j;
                members[g][j] = s < strips ? first + s : -1;
                if (s >= strips) continue;
                const Dynamics& unit = *dynamics[first + s];
                anyDynamics = anyDynamics || !isBypassed(unit);
                anyRms = anyRms || (!isBypassed(unit) && isRms(unit));
                anyShelf = anyShelf || shelves[first + s]->enable != 0;
            }
            loadStrips(groups[g], dynamics, shelves, members[g], buffers, sinks);
        }
        stripGroupsUpTo<kMaxStripGroups>(groups, groupCount, anyDynamics, anyRms, anyShelf, n);
        for (int g = 0; g < groupCount; ++g) storeStrips(groups[g], dynamics, shelves, members[g]);
    }
}

}  // namespace kernel
