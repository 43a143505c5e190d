// Entry points of the x86-64 voice-chain kernels, each in a translation unit of its own
// instruction set (voice_chain_sse2.cpp, voice_chain_avx2.cpp). Only x86-64 builds compile
// them; ZIMBLO_X86_LANES says they are there.
#pragma once

#include "dsp/voice_lanes.h"

namespace zimblo::dsp::lanes {

void renderVoicesSse2(Voice* const* voices, float* const* work, int count, int n, VoiceLaneScratch& scratch);
void renderVoicesAvx2(Voice* const* voices, float* const* work, int count, int n, VoiceLaneScratch& scratch);

}  // namespace zimblo::dsp::lanes
