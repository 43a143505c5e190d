// The engine's numeric rules in one place.
//
// Every float-to-int conversion rounds to nearest-even and yields INT32_MIN
// (0x80000000) when the value is out of range or NaN: that is what the SSE
// conversion instruction does under the default rounding mode, and the
// engine's entry points pin that mode with FpEnvironmentGuard.
#pragma once

#include <cstdint>
#include <xmmintrin.h>

namespace zimblo {

// Added to (and in places subtracted from) recursive signals so that no state
// decays into subnormal numbers. Its net effect is part of the output.
constexpr float kDenormalGuard = 0x1p-18f;

// Nearest integer, ties to even; INT32_MIN when out of range or NaN.
inline int32_t roundToInt(float x) { return _mm_cvtss_si32(_mm_set_ss(x)); }

// The top 23 bits of a 32-bit phase as a fraction of a cycle: (v >> 9) · 2^-23,
// exact in float, 0 <= result < 1.
inline float fraction(uint32_t v) { return static_cast<float>(v >> 9) * 0x1p-23f; }

// Two's-complement reinterpretation without signed overflow.
inline int32_t asSigned(uint32_t v) { return static_cast<int32_t>(v); }

// Saves the SSE control/status register, sets round to nearest with every
// exception masked and no flush-to-zero or denormals-are-zero, and restores
// the caller's register on destruction.
class FpEnvironmentGuard {
public:
    FpEnvironmentGuard() : saved_(_mm_getcsr()) {
        constexpr unsigned kAllExceptionsMasked = 0x1F80;  // bits 7..12
        _mm_setcsr(kAllExceptionsMasked);                  // RC = 00 (nearest), FZ = DAZ = 0
    }
    ~FpEnvironmentGuard() { _mm_setcsr(saved_); }
    FpEnvironmentGuard(const FpEnvironmentGuard&) = delete;
    FpEnvironmentGuard& operator=(const FpEnvironmentGuard&) = delete;

private:
    unsigned saved_;
};

}  // namespace zimblo
