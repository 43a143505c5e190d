// Which instruction set renders the voice groups and the stereo units.
//
// The scalar code is the reference; the SIMD paths perform the same operations lane by lane
// and give the same bits. The path is chosen once, at first use: the best the processor offers
// (AVX-512, then AVX2, then SSE2, the x86-64 baseline), unless ZIMBLO_SIMD in the environment
// names one:
//   ZIMBLO_SIMD=off   the scalar path     ZIMBLO_SIMD=sse2    the SSE2 path
//   ZIMBLO_SIMD=avx2  AVX2                ZIMBLO_SIMD=avx512  AVX-512 (F, VL, DQ and BW)
// (each when the processor has it)
// Any other value keeps the best path. Builds for other processors always run the scalar path.
#pragma once

namespace zimblo::dsp {

enum class SimdPath : int { Scalar = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3 };

// The path in force.
SimdPath simdPath();
// True when this build and this processor can run the path.
bool simdPathAvailable(SimdPath path);
// The best available path.
SimdPath bestSimdPath();
// Forces a path (benchmarks and tests compare them side by side); an unavailable one falls back
// to the best available below it. Not to be called while a render runs.
void setSimdPath(SimdPath path);
// "off", "sse2", "avx2" or "avx512".
const char* simdPathName(SimdPath path);

}  // namespace zimblo::dsp
