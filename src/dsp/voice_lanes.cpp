#include "dsp/voice_lanes.h"

#include "dsp/lanes/voice_chain_entry.h"
#include "dsp/maths.h"

namespace zimblo::dsp {

namespace {

constexpr uint32_t kLowByte = 0xFFu;
constexpr uint32_t kShaperModeMask = 15u;
constexpr uint32_t kFilterTypeMask = 7u;
constexpr uint32_t kFirstLadder = 6u;
constexpr uint32_t kLastLaneShaperMode = 2u;  // off, overdrive, clip

// 0 pass-through, 1 state-variable, 2 ladder.
int filterFamily(const VoiceFilter& filter) {
    const uint32_t type = static_cast<uint32_t>(filter.type) & kFilterTypeMask;
    if (type == 0) return 0;
    return type < kFirstLadder ? 1 : 2;
}

}  // namespace

int laneCount(SimdPath path) {
    switch (path) {
        case SimdPath::Avx512:
            return 16;
        case SimdPath::Avx2:
            return 8;
        case SimdPath::Sse2:
            return 4;
        default:
            return 1;
    }
}

int mixedLaneCount(SimdPath path) { return path == SimdPath::Avx512 ? 8 : laneCount(path); }

bool voiceFitsLanes(const Voice& voice) {
    for (const Oscillator& oscillator : voice.oscillators) {
        const auto waveform = static_cast<Waveform>(static_cast<uint32_t>(oscillator.waveform) & 7u);
        if (waveform == Waveform::Aux1 || waveform == Waveform::Aux2) return false;
    }
    return (static_cast<uint32_t>(voice.shaper.mode) & kShaperModeMask) <= kLastLaneShaperMode;
}

int laneGroupKey(const Voice& voice) {
    const bool single = (static_cast<uint32_t>(voice.routing) & kLowByte) ==
                        static_cast<uint32_t>(FilterRouting::Single);
    const int second = single ? 0 : filterFamily(voice.filters[1]);
    const int shaper = static_cast<int>(static_cast<uint32_t>(voice.shaper.mode) & kShaperModeMask);
    int waveforms = 0;
    for (const Oscillator& oscillator : voice.oscillators) {
        waveforms = waveforms * 8 + static_cast<int>(static_cast<uint32_t>(oscillator.waveform) & 7u);
    }
    return ((waveforms * 3 + shaper) * 3 + filterFamily(voice.filters[0])) * 3 + second;
}

void renderVoiceLanes(SimdPath path, const VoiceGroup* groups, int groupCount, int n, VoiceLaneScratch& scratch) {
#if defined(ZIMBLO_X86_LANES)
    if (path == SimdPath::Avx512) {
        // Groups that fit 8 lanes run in them: on processors that split a 16-lane operation
        // in two, their half-empty 16 lanes would cost twice the work for nothing. Each width
        // takes its groups in the order given.
        std::array<VoiceGroup, kVoiceGroupsAtMost> wide{};
        std::array<VoiceGroup, kVoiceGroupsAtMost> narrow{};
        int wideCount = 0;
        int narrowCount = 0;
        for (int g = 0; g < groupCount; ++g) {
            if (groups[g].count > 8) {
                wide[wideCount++] = groups[g];
            } else {
                narrow[narrowCount++] = groups[g];
            }
        }
        if (wideCount > 0) lanes::renderVoicesAvx512(wide.data(), wideCount, n, scratch);
        if (narrowCount > 0) lanes::renderVoicesAvx2(narrow.data(), narrowCount, n, scratch);
        return;
    }
    if (path == SimdPath::Avx2) {
        lanes::renderVoicesAvx2(groups, groupCount, n, scratch);
        return;
    }
    if (path == SimdPath::Sse2) {
        lanes::renderVoicesSse2(groups, groupCount, n, scratch);
        return;
    }
#endif
    (void)path;
    for (int g = 0; g < groupCount; ++g) {
        for (int l = 0; l < groups[g].count; ++l) {
            Voice& voice = *groups[g].voices[l];
            float* work = groups[g].work[l];
            voice.renderOscillators(work, n, AuxInputs{});
            voice.renderChain(work, scratch.second.data(), n);
            voice.applyAmplitude(work, n);
        }
    }
}

void renderStereoShapers(SimdPath path, Shaper* const* shapers, const StereoFrame* const* sources,
                         StereoFrame* const* destinations, int count, int n) {
    // The filter modes of each family together, so that a group of lanes runs one recurrence.
    constexpr int kChunk = 16;
    for (int first = 0; first < count; first += kChunk) {
        const int last = count - first < kChunk ? count : first + kChunk;
        for (const int family : {1, 2}) {
            std::array<VoiceFilter*, kChunk> lefts{};
            std::array<VoiceFilter*, kChunk> rights{};
            std::array<const float*, kChunk> from{};
            std::array<float*, kChunk> to{};
            int filters = 0;
            for (int s = first; s < last; ++s) {
                Shaper& shaper = *shapers[s];
                if (!shaper.runsFilter() || (filterFamily(shaper.filterA) == 2) != (family == 2)) continue;
                shaper.filterA.stride = 2;
                shaper.filterB.stride = 2;
                lefts[filters] = &shaper.filterA;
                rights[filters] = &shaper.filterB;
                from[filters] = &sources[s]->left;
                to[filters] = &destinations[s]->left;
                ++filters;
            }
            if (filters == 0) continue;
#if defined(ZIMBLO_X86_LANES)
            // Strips that fill one 8-lane group stay in it (see renderVoiceLanes).
            if (path == SimdPath::Avx512 && filters > 4) {
                lanes::renderStereoFiltersAvx512(lefts.data(), rights.data(), from.data(), to.data(), filters, n);
                continue;
            }
            if (path == SimdPath::Avx2 || path == SimdPath::Avx512) {
                lanes::renderStereoFiltersAvx2(lefts.data(), rights.data(), from.data(), to.data(), filters, n);
                continue;
            }
            if (path == SimdPath::Sse2) {
                lanes::renderStereoFiltersSse2(lefts.data(), rights.data(), from.data(), to.data(), filters, n);
                continue;
            }
#endif
            (void)path;
            for (int f = 0; f < filters; ++f) {
                lefts[f]->render(from[f], to[f], n);
                rights[f]->render(from[f] + 1, to[f] + 1, n);
            }
        }
        for (int s = first; s < last; ++s) {
            if (!shapers[s]->runsFilter()) shapers[s]->renderStereo(sources[s], destinations[s], n);
        }
    }
}

void renderStereoDcBlockers(SimdPath path, DcBlocker* const* blockers, StereoFrame* const* buffers, int count,
                            int n) {
#if defined(ZIMBLO_X86_LANES)
    if (path != SimdPath::Scalar) {
        lanes::renderStereoDcBlockersSse2(blockers, buffers, count, n);
        return;
    }
#endif
    (void)path;
    for (int b = 0; b < count; ++b) blockers[b]->renderStereo(buffers[b], buffers[b], n);
}

void sineLanes(SimdPath path, const float* x, float* y, int n) {
#if defined(ZIMBLO_X86_LANES)
    if (path == SimdPath::Avx512) return lanes::sinesAvx512(x, y, n);
    if (path == SimdPath::Avx2) return lanes::sinesAvx2(x, y, n);
    if (path == SimdPath::Sse2) return lanes::sinesSse2(x, y, n);
#endif
    (void)path;
    for (int i = 0; i < n; ++i) y[i] = sine(x[i]);
}

}  // namespace zimblo::dsp
