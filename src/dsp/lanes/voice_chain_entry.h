// Entry points of the x86-64 voice-chain kernels, each in a translation unit of its own
// instruction set (voice_chain_sse2.cpp, voice_chain_avx2.cpp,
// voice_chain_avx512.cpp). Only x86-64 builds compile
// them; ZIMBLO_X86_LANES says they are there.
#pragma once

#include "dsp/voice_lanes.h"

namespace zimblo::fx {
struct Dynamics;
struct LowShelf;
}  // namespace zimblo::fx

namespace zimblo::dsp::lanes {

void renderVoicesSse2(const VoiceGroup* groups, int groupCount, int n, VoiceLaneScratch& scratch);
void renderVoicesAvx2(const VoiceGroup* groups, int groupCount, int n, VoiceLaneScratch& scratch);
void renderVoicesAvx512(const VoiceGroup* groups, int groupCount, int n, VoiceLaneScratch& scratch);

// The shaper's filter modes of several stereo strips, each strip's left and right side by side
// (voice_lanes.h).
void renderStereoFiltersSse2(VoiceFilter* const* lefts, VoiceFilter* const* rights, const float* const* sources,
                             float* const* destinations, int count, int n);
void renderStereoFiltersAvx2(VoiceFilter* const* lefts, VoiceFilter* const* rights, const float* const* sources,
                             float* const* destinations, int count, int n);
void renderStereoFiltersAvx512(VoiceFilter* const* lefts, VoiceFilter* const* rights, const float* const* sources,
                               float* const* destinations, int count, int n);

// Dynamics::process then LowShelf::process of count channel strips, each on its own buffer of n
// frames in place, each strip's left and right side by side (strip_kernel.h).
void processStripsSse2(fx::Dynamics* const* dynamics, fx::LowShelf* const* shelves, StereoFrame* const* buffers,
                       int count, int n);
void processStripsAvx2(fx::Dynamics* const* dynamics, fx::LowShelf* const* shelves, StereoFrame* const* buffers,
                       int count, int n);

// Stereo DC blockers of count channels, in place, channel pairs side by side (voice_lanes.h).
void renderStereoDcBlockersSse2(DcBlocker* const* blockers, StereoFrame* const* buffers, int count, int n);

// sine() of n values in the path's lanes (voice_lanes.h).
void sinesSse2(const float* x, float* y, int n);
void sinesAvx2(const float* x, float* y, int n);
void sinesAvx512(const float* x, float* y, int n);

}  // namespace zimblo::dsp::lanes
