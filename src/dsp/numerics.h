// The engine's numeric rules in one place.
//
// Every float-to-int conversion rounds to nearest-even and yields INT32_MIN
// (0x80000000) when the value is out of range or NaN. On x86-64 that is what
// the SSE conversion instruction does under the default rounding mode; other
// processors get the same results from an explicit range check and a
// nearest-even conversion. The engine's entry points pin the floating-point
// mode with FpEnvironmentGuard: round to nearest, no flush-to-zero.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#define ZIMBLO_FP_X86_64 1
#elif defined(__aarch64__)
#define ZIMBLO_FP_AARCH64 1
#endif

namespace zimblo {

// Added to (and in places subtracted from) recursive signals so that no state
// decays into subnormal numbers. Its net effect is part of the output.
constexpr float kDenormalGuard = 0x1p-18f;

// Nearest integer, ties to even; INT32_MIN when out of range or NaN, without
// any processor-specific instruction and whatever the rounding mode. A float
// of magnitude 2^23 or more is already an integer, and below that truncation
// and the difference to it are exact, so the decision is made on exact values.
constexpr int32_t roundToIntPortable(float x) {
    if (!(x >= -0x1p31f && x < 0x1p31f)) return INT32_MIN;  // NaN fails both tests
    int32_t whole = static_cast<int32_t>(x);                 // towards zero, exact
    const float rest = x - static_cast<float>(whole);        // exact, -1 < rest < 1
    if (rest > 0.5f || (rest == 0.5f && (whole & 1) != 0)) ++whole;
    if (rest < -0.5f || (rest == -0.5f && (whole & 1) != 0)) --whole;
    return whole;
}

// Nearest integer, ties to even; INT32_MIN when out of range or NaN.
#if defined(ZIMBLO_FP_X86_64)
inline int32_t roundToInt(float x) { return _mm_cvtss_si32(_mm_set_ss(x)); }
#elif defined(ZIMBLO_FP_AARCH64)
// FCVTNS rounds to nearest-even whatever FPCR says, but saturates out of range
// and gives 0 for NaN: the range check restores the INT32_MIN rule.
inline int32_t roundToInt(float x) {
    if (!(x >= -0x1p31f && x < 0x1p31f)) return INT32_MIN;
    int32_t result;
    asm("fcvtns %w0, %s1" : "=r"(result) : "w"(x));
    return result;
}
#else
inline int32_t roundToInt(float x) { return roundToIntPortable(x); }
#endif

// The top 23 bits of a 32-bit phase as a fraction of a cycle: (v >> 9) · 2^-23,
// exact in float, 0 <= result < 1.
inline float fraction(uint32_t v) { return static_cast<float>(v >> 9) * 0x1p-23f; }

// Two's-complement reinterpretation without signed overflow.
inline int32_t asSigned(uint32_t v) { return static_cast<int32_t>(v); }

// Saves the caller's floating-point control register, sets round to nearest
// with every exception masked and no flush-to-zero (nor denormals-are-zero),
// and restores the caller's register on destruction.
//   x86-64: MXCSR = 0x1F80 (exceptions masked, RC = nearest, FZ = DAZ = 0).
//   ARM64:  FPCR = 0 (RMode = nearest, FZ = FZ16 = DN = AHP = 0, no traps).
//   Elsewhere (WebAssembly): arithmetic is IEEE round-to-nearest with
//   subnormals by definition and there is no mode to set.
class FpEnvironmentGuard {
public:
#if defined(ZIMBLO_FP_X86_64)
    static constexpr uint64_t kEngineMode = 0x1F80;  // bits 7..12: every exception masked
    static uint64_t read() { return _mm_getcsr(); }
    static void write(uint64_t mode) { _mm_setcsr(static_cast<unsigned>(mode)); }
#elif defined(ZIMBLO_FP_AARCH64)
    static constexpr uint64_t kEngineMode = 0;
    static uint64_t read() {
        uint64_t mode;
        asm volatile("mrs %0, fpcr" : "=r"(mode));
        return mode;
    }
    static void write(uint64_t mode) { asm volatile("msr fpcr, %0" : : "r"(mode)); }
#else
    static constexpr uint64_t kEngineMode = 0;
    static uint64_t read() { return kEngineMode; }
    static void write(uint64_t) {}
#endif

    FpEnvironmentGuard() : saved_(read()) { write(kEngineMode); }
    ~FpEnvironmentGuard() { write(saved_); }
    FpEnvironmentGuard(const FpEnvironmentGuard&) = delete;
    FpEnvironmentGuard& operator=(const FpEnvironmentGuard&) = delete;

private:
    uint64_t saved_;
};

}  // namespace zimblo
