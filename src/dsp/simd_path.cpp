#include "dsp/simd_path.h"

#include <cstdlib>
#include <cstring>

namespace zimblo::dsp {

namespace {

// Only where there are lanes to choose from is the environment read: a build without them
// (the browser's worklet among them) has no environment to ask.
SimdPath fromEnvironment() {
#if !defined(ZIMBLO_X86_LANES)
    return SimdPath::Scalar;
#else
    const char* wanted = std::getenv("ZIMBLO_SIMD");
    if (wanted != nullptr) {
        if (std::strcmp(wanted, "off") == 0) return SimdPath::Scalar;
        if (std::strcmp(wanted, "sse2") == 0 && simdPathAvailable(SimdPath::Sse2)) return SimdPath::Sse2;
        if (std::strcmp(wanted, "avx2") == 0 && simdPathAvailable(SimdPath::Avx2)) return SimdPath::Avx2;
        if (std::strcmp(wanted, "avx512") == 0 && simdPathAvailable(SimdPath::Avx512)) return SimdPath::Avx512;
    }
    return bestSimdPath();
#endif
}

SimdPath& current() {
    static SimdPath path = fromEnvironment();
    return path;
}

}  // namespace

bool simdPathAvailable(SimdPath path) {
    switch (path) {
        case SimdPath::Scalar:
            return true;
#if defined(ZIMBLO_X86_LANES)
        case SimdPath::Sse2:
            return true;
        case SimdPath::Avx2:
            return __builtin_cpu_supports("avx2") != 0;
        case SimdPath::Avx512:
            return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512vl") != 0 &&
                   __builtin_cpu_supports("avx512dq") != 0 && __builtin_cpu_supports("avx512bw") != 0;
#endif
        default:
            return false;
    }
}

SimdPath bestSimdPath() {
    if (simdPathAvailable(SimdPath::Avx512)) return SimdPath::Avx512;
    if (simdPathAvailable(SimdPath::Avx2)) return SimdPath::Avx2;
    if (simdPathAvailable(SimdPath::Sse2)) return SimdPath::Sse2;
    return SimdPath::Scalar;
}

SimdPath simdPath() { return current(); }

void setSimdPath(SimdPath path) {
    while (!simdPathAvailable(path)) path = static_cast<SimdPath>(static_cast<int>(path) - 1);
    current() = path;
}

const char* simdPathName(SimdPath path) {
    switch (path) {
        case SimdPath::Sse2:
            return "sse2";
        case SimdPath::Avx2:
            return "avx2";
        case SimdPath::Avx512:
            return "avx512";
        default:
            return "off";
    }
}

}  // namespace zimblo::dsp
