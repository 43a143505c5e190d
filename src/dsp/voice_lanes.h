// Voice groups in SIMD lanes: the oscillators, the filters, the shaper, the DC blocker and the
// amplitude ramp of up to 16 voices side by side, one voice per lane (Voice::renderOscillators,
// renderChain, then applyAmplitude): everything of Voice::render but the pan.
//
// Each lane performs exactly the scalar operations of its voice in the written order (no fused
// multiply-add, no reordered sum), so a voice rendered in a lane gives the same bits as one
// rendered alone. The lanes of a group may differ in waveforms, routing, filter type and the three shaper
// modes below: both filter families are computed when the group holds both and each lane keeps
// its own type's output (per-lane masks); the caller groups voices by family first, so a mixed
// group is rare. A voice whose shaper is the crusher, the decimator or a filter mode stays on the
// scalar path (voiceFitsLanes).
#pragma once

#include <array>

#include "dsp/dc_blocker.h"
#include "dsp/rate_constants.h"
#include "dsp/shaper.h"
#include "dsp/simd_path.h"
#include "dsp/voice.h"

namespace zimblo::dsp {

constexpr int kMaxLanes = 16;
// Groups a kernel takes through the filters and the finish side by side.
constexpr int kMaxGroupsTogether = 4;
// Groups one call of renderVoiceLanes takes at most (one voice each, for the engine's 64).
constexpr int kVoiceGroupsAtMost = 64;

// The kernels' working buffers, each group's samples interleaved by lane (sample i of lane l at
// i·lanes + l): a fixed member of the owner, never allocated while rendering.
struct VoiceLaneScratch {
    alignas(64) std::array<float, kMaxGroupsTogether * kMaxFrameLength * kMaxLanes> input{};
    alignas(64) std::array<float, kMaxFrameLength> second{};
    // The samples where an oscillator's lane crosses an edge of its shape, and the buffer
    // before them (the edge formulas run on those samples only).
    alignas(64) std::array<float, kMaxFrameLength * kMaxLanes> crossingBefore{};
    std::array<int32_t, kMaxFrameLength> crossingAt{};
};

// A group of voices rendered side by side, and each voice's work buffer.
struct VoiceGroup {
    Voice* const* voices;
    float* const* work;
    int count;
};

// Lanes of a group on the path: 16 (AVX-512), 8 (AVX2), 4 (SSE2), 1 (scalar).
int laneCount(SimdPath path);
// Lanes of a group whose voices differ in key (laneGroupKey): 8 on AVX-512, whose 16 lanes
// cost twice 8 on processors that split them and so pay only where the filters' latency
// dominates, in a group running one code throughout; laneCount(path) on the others.
int mixedLaneCount(SimdPath path);

// True when the voice can render ahead of its channel with its chain in a lane: its shaper is
// off, overdrive or clip, and no oscillator reads an aux bus (which lower channels fill in the
// same control frame).
bool voiceFitsLanes(const Voice& voice);

// Grouping key: voices with equal keys run the same recurrences and waveforms; close keys share
// the oscillators' waveforms first, then the shaper mode and the filter families. A waveform
// costs its whole pass over the group even for one lane, while a group's filter families
// overlap in time, so the embedded song renders about 7% faster this way round.
int laneGroupKey(const Voice& voice);

// Runs renderOscillators (without aux inputs), renderChain and applyAmplitude of every voice of
// the groups (each of 1 to laneCount(path) voices that fit the lanes, no voice twice) into
// their work buffers of n samples. Neighbouring groups of one width go through the filters
// together, so the caller passes a frame's groups in one call, similar ones next to each other.
void renderVoiceLanes(SimdPath path, const VoiceGroup* groups, int groupCount, int n, VoiceLaneScratch& scratch);

// Shaper::renderStereo of count shapers, each from its source to its destination buffer of n
// interleaved frames (the same buffer is allowed). On a SIMD path the filter modes run side by
// side, each shaper's left and right filters in two lanes, shapers of one filter family
// together and several groups of lanes in one pass; the other modes run one after the other.
void renderStereoShapers(SimdPath path, Shaper* const* shapers, const StereoFrame* const* sources,
                         StereoFrame* const* destinations, int count, int n);

// DcBlocker::renderStereo of count blockers, each on its own buffer of n frames in place: on a
// SIMD path two channels to an SSE register and several registers in one loop (their
// recurrences overlap), one after the other on the scalar path.
void renderStereoDcBlockers(SimdPath path, DcBlocker* const* blockers, StereoFrame* const* buffers, int count,
                            int n);

// sine() of n values as the phase-modulated sine computes it in the path's lanes, whose turn
// remainder is its own (float, exact below 8192): for the checks that it gives sine()'s bits.
void sineLanes(SimdPath path, const float* x, float* y, int n);

}  // namespace zimblo::dsp
