// zimblo-maths-check: the engine's maths functions against a correctly rounded
// reference (MPFR) and against the system library's result.
//
//   zimblo-maths-check [--exhaustive] [--stride-shift K] [--only NAME]
//
// Each function is checked over the inputs the engine can reach: every float of
// its domain with --exhaustive, every 2^k-th float otherwise (a few seconds in
// all), plus every value of the finite sets the set-ups produce (sample rates,
// controller steps, reverb sizes, glide positions). A line per function gives
// the inputs checked and the mismatches: the project against the reference,
// the project against the library, and the library against the reference.
// Exit status 1 when the project's function disagrees with the reference.
#include <mpfr.h>

#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dsp/maths.h"
#include "dsp/simd_path.h"
#include "dsp/voice_lanes.h"
#include "speech/formant_frame.h"
#include "speech/frame_table.h"

namespace {

using namespace zimblo;

struct Tally {
    const char* name;
    std::string domain;
    uint64_t inputs = 0;
    uint64_t versusReference = 0;
    uint64_t versusLibrary = 0;
    uint64_t libraryVersusReference = 0;
    int shown = 0;
};

bool sameBits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b) || (a != a && b != b); }
bool sameBits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b) || (a != a && b != b); }

template <typename T>
void record(Tally& tally, double input, double input2, T mine, T reference, T library) {
    ++tally.inputs;
    if ((tally.inputs & ((uint64_t{1} << 28) - 1)) == 0) {
        std::printf("  %s: %" PRIu64 " inputs so far, %" PRIu64 " against the reference, %" PRIu64
                    " against the library\n", tally.name, tally.inputs, tally.versusReference, tally.versusLibrary);
        std::fflush(stdout);
    }
    const bool mineOk = sameBits(mine, reference);
    if (!mineOk) ++tally.versusReference;
    if (!sameBits(mine, library)) ++tally.versusLibrary;
    if (!sameBits(library, reference)) ++tally.libraryVersusReference;
    if ((!mineOk || !sameBits(library, reference)) && tally.shown < 8) {
        ++tally.shown;
        std::printf("  %s(%a, %a): project %a, reference %a, library %a\n", tally.name, input, input2,
                    static_cast<double>(mine), static_cast<double>(reference), static_cast<double>(library));
    }
}

void report(const Tally& t) {
    std::printf("%-16s %-44s %12" PRIu64 " inputs  vs reference %" PRIu64 "  vs library %" PRIu64
                "  library vs reference %" PRIu64 "\n",
                t.name, t.domain.c_str(), t.inputs, t.versusReference, t.versusLibrary, t.libraryVersusReference);
    std::fflush(stdout);
}

// Floats in [low, high] in increasing order, every stride-th one and the ends.
uint32_t orderKey(float f) {
    const uint32_t bits = std::bit_cast<uint32_t>(f);
    return (bits & 0x80000000u) ? ~bits : bits | 0x80000000u;
}
float fromKey(uint32_t key) {
    return std::bit_cast<float>((key & 0x80000000u) ? key & 0x7FFFFFFFu : ~key);
}
void forEachFloat(float low, float high, uint64_t stride, const std::function<void(float)>& fn) {
    const uint64_t first = orderKey(low), last = orderKey(high);
    for (uint64_t k = first; k <= last; k += stride) fn(fromKey(static_cast<uint32_t>(k)));
    if ((last - first) % stride != 0) fn(high);
}

// Correctly rounded float of an MPFR operation, subnormals included.
struct FloatRange {
    FloatRange() { mpfr_set_emin(-148); mpfr_set_emax(128); }
    ~FloatRange() { mpfr_set_emin(mpfr_get_emin_min()); mpfr_set_emax(mpfr_get_emax_max()); }
};

mpfr_t gFloatValue, gDoubleValue, gArgument;

float referenceExp2(double x) {
    FloatRange range;
    mpfr_set_d(gArgument, x, MPFR_RNDN);  // exact: the argument has 53 bits at most
    const int inexact = mpfr_exp2(gFloatValue, gArgument, MPFR_RNDN);
    mpfr_subnormalize(gFloatValue, inexact, MPFR_RNDN);
    return mpfr_get_flt(gFloatValue, MPFR_RNDN);
}

using MpfrFunction = int (*)(mpfr_ptr, mpfr_srcptr, mpfr_rnd_t);
double referenceDouble(MpfrFunction f, double x) {
    mpfr_set_d(gArgument, x, MPFR_RNDN);
    f(gDoubleValue, gArgument, MPFR_RNDN);
    return mpfr_get_d(gDoubleValue, MPFR_RNDN);
}

// x^y as the engine defines it: exponent = y · (double nearest to log2 x), in
// double; then the float nearest to 2^exponent, with the saturating limits.
float referencePower(float x, float y) {
    if (x == 0.0f) return 0.0f;
    const double exponent = static_cast<double>(y) * referenceDouble(mpfr_log2, x);
    if (std::nearbyint(exponent) <= -16383.0) return 0.0f;
    if (std::nearbyint(exponent) >= 16385.0) return INFINITY;
    return referenceExp2(exponent);
}
float libraryPower(float x, float y) {
    if (x == 0.0f) return 0.0f;
    const double exponent = static_cast<double>(y) * std::log2(static_cast<double>(x));
    if (std::nearbyint(exponent) <= -16383.0) return 0.0f;
    if (std::nearbyint(exponent) >= 16385.0) return INFINITY;
    return static_cast<float>(std::exp2(exponent));
}

// --stride-shift K overrides every domain's sampling: every 2^K-th float.
int gStrideShift = -1;

int shiftFor(bool exhaustive, int denseShift) { return gStrideShift >= 0 ? gStrideShift : exhaustive ? 0 : denseShift; }
uint64_t strideFor(bool exhaustive, int denseShift) { return uint64_t{1} << shiftFor(exhaustive, denseShift); }

bool wanted(const char* only, const char* name) { return only == nullptr || std::strcmp(only, name) == 0; }

std::string range(const char* what, bool exhaustive, int denseShift) {
    const int shift = shiftFor(exhaustive, denseShift);
    return std::string(what) + (shift == 0 ? " every float" : " every 2^" + std::to_string(shift) + "th");
}

}  // namespace

int main(int argc, char** argv) {
    bool exhaustive = false;
    const char* only = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--exhaustive") == 0) {
            exhaustive = true;
        } else if (std::strcmp(argv[i], "--stride-shift") == 0 && i + 1 < argc) {
            gStrideShift = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: zimblo-maths-check [--exhaustive] [--stride-shift K] [--only NAME]\n");
            return 2;
        }
    }
    mpfr_init2(gFloatValue, 24);
    mpfr_init2(gDoubleValue, 53);
    mpfr_init2(gArgument, 64);
    uint64_t failures = 0;
    auto finish = [&](const Tally& t) {
        report(t);
        failures += t.versusReference;
    };

    // exp2 of a float: the pitch ratio, the envelope and decimator curves, drive, levels.
    if (wanted(only, "exp2")) {
        constexpr int kShift = 12;
        Tally t{"exp2", range("[-152, 129]", exhaustive, kShift)};
        forEachFloat(-152.0f, 129.0f, strideFor(exhaustive, kShift), [&](float x) {
            record(t, x, 0, dsp::exp2(x), referenceExp2(x), static_cast<float>(std::exp2(static_cast<double>(x))));
        });
        finish(t);
    }
    // Double results of float inputs: exp (the singer's pole radius, bandwidth factor
    // times W), cos (the resonator angle), atan (the overdrive's normalisation, drive =
    // 2^((D − 32)/16)), log2 (power()'s first step: glide fractions, reverb decays, 2).
    struct DoubleCheck {
        const char* name;
        const char* domain;
        float low, high;
        int denseShift;
        double (*mine)(double);
        MpfrFunction reference;
        double (*library)(double);
    };
    const DoubleCheck doubleChecks[] = {
        {"exp", "[-1, 0]", -1.0f, 0.0f, 11, dsp::expNearest, mpfr_exp, [](double x) { return std::exp(x); }},
        {"cos", "[0, 8]", 0.0f, 8.0f, 11, dsp::cosNearest, mpfr_cos, [](double x) { return std::cos(x); }},
        {"atan", "[1/4, 64]", 0.25f, 64.0f, 8, dsp::atanNearest, mpfr_atan, [](double x) { return std::atan(x); }},
        {"log2", "(0, 2]", 0x1p-149f, 2.0f, 11, dsp::log2Nearest, mpfr_log2, [](double x) { return std::log2(x); }},
    };
    for (const DoubleCheck& c : doubleChecks) {
        if (!wanted(only, c.name)) continue;
        Tally t{c.name, range(c.domain, exhaustive, c.denseShift)};
        forEachFloat(c.low, c.high, strideFor(exhaustive, c.denseShift), [&](float x) {
            record(t, x, 0, c.mine(x), referenceDouble(c.reference, x), c.library(x));
        });
        finish(t);
    }
    // sin and cos of 2π·150/sr in double, then float: the bass shelf, every rate 1..200000 Hz.
    if (wanted(only, "shelf")) {
        Tally ts{"shelf sin", "w0 = 2pi*150/sr, sr = 1..200000"};
        Tally tc{"shelf cos", "w0 = 2pi*150/sr, sr = 1..200000"};
        for (uint32_t sr = 1; sr <= 200000; ++sr) {
            const double w0 = 2.0 * 3.14159265358979323846 * 150.0 / static_cast<double>(sr);
            record(ts, w0, 0, static_cast<float>(dsp::sinNearest(w0)),
                   static_cast<float>(referenceDouble(mpfr_sin, w0)), static_cast<float>(std::sin(w0)));
            record(tc, w0, 0, static_cast<float>(dsp::cosNearest(w0)),
                   static_cast<float>(referenceDouble(mpfr_cos, w0)), static_cast<float>(std::cos(w0)));
        }
        finish(ts);
        finish(tc);
    }
    // power(): every value its three callers can produce from finite sets, then a dense spread.
    if (wanted(only, "power")) {
        Tally t{"power", "reverb, formant scale, glides; spread"};
        auto check = [&](float x, float y) { record(t, x, y, dsp::power(x, y), referencePower(x, y), libraryPower(x, y)); };
        // Reverb: decay entry ^ ((64/(r0 + 1))² · 44100/sr), r0 in steps of 1/64 over 0..255.
        const float decays[6] = {0.96638459f, 0.958186388f, 0.953783929f, 0.950933158f, 0.994260073f, 0.998044729f};
        // Every parameter byte; with --exhaustive every 1/64 between them.
        const int stepsPerUnit = exhaustive ? 64 : 1;
        for (const uint32_t sr : {8000u, 11025u, 16000u, 22050u, 32000u, 44100u, 48000u, 88200u, 96000u}) {
            const float rateScale = 44100.0f / static_cast<float>(sr);
            for (int step = 0; step <= 255 * stepsPerUnit; ++step) {
                const float t64 = 64.0f / (static_cast<float>(step) / static_cast<float>(stepsPerUnit) + 1.0f);
                for (const float decay : decays) check(decay, t64 * t64 * rateScale);
            }
        }
        // The singer's formant scale: 2^((value − 64)/128) for every controller value up to 2^14.
        for (int64_t value = 0; value <= 16384; ++value) check(2.0f, static_cast<float>(value - 64) * 0.0078125f);
        // Glides: (position / length) ^ (rank ratio) for every pair of frame ranks and every
        // length up to 64 (2048 with --exhaustive).
        const int longest = exhaustive ? 2048 : 64;
        speech::decodeSharedFrameTable();
        const auto& frames = speech::frameTable();
        for (int a = 0; a < speech::kFrameCount; ++a) {
            for (int b = 0; b < speech::kFrameCount; ++b) {
                const float ratio = frames[a][speech::kRank] / frames[b][speech::kRank];
                bool seen = false;  // each distinct ratio once
                for (int c = 0; c < a * speech::kFrameCount + b && !seen; ++c) {
                    seen = frames[c / speech::kFrameCount][speech::kRank] / frames[c % speech::kFrameCount][speech::kRank] == ratio;
                }
                if (seen) continue;
                for (int length = 1; length <= longest; ++length) {
                    const float inverse = 1.0f / static_cast<float>(length);
                    for (int position = 0; position <= length; ++position) check(static_cast<float>(position) * inverse, ratio);
                }
            }
        }
        // A spread: x over (0, 4], y over ±64 and large.
        uint64_t state = 0x9E3779B97F4A7C15ull;
        auto next = [&]() { state ^= state << 13; state ^= state >> 7; state ^= state << 17; return state; };
        const int spread = exhaustive ? 20000000 : 100000;
        for (int i = 0; i < spread; ++i) {
            const float x = static_cast<float>(next() >> 40) * 0x1p-22f;
            const float y = (static_cast<float>(next() >> 40) * 0x1p-24f - 0.5f) * ((i & 3) == 0 ? 4096.0f : 128.0f);
            check(x, y);
        }
        finish(t);
    }
    // The turn remainder against the library's fmodf (exact by definition), and the
    // sine built on it against the same formula on fmodf: every float bit pattern. The
    // same for the sine of the voice lanes, with its own float reduction, on every SIMD
    // path this processor has.
    if (wanted(only, "turn")) {
        constexpr int kShift = 10;
        Tally tr{"turn remainder", range("all bit patterns", exhaustive, kShift)};
        Tally ts{"sine", range("all bit patterns", exhaustive, kShift)};
        std::vector<dsp::SimdPath> paths;
        std::vector<Tally> lanes;
        for (const dsp::SimdPath path : {dsp::SimdPath::Sse2, dsp::SimdPath::Avx2, dsp::SimdPath::Avx512}) {
            if (!dsp::simdPathAvailable(path)) continue;
            paths.push_back(path);
            lanes.push_back(Tally{dsp::simdPathName(path), range("sine in lanes, all bit patterns", exhaustive, kShift)});
        }
        constexpr int kBatch = 4096;
        std::vector<float> inputs, expected, results(kBatch);
        auto checkLanes = [&] {
            for (size_t p = 0; p < paths.size(); ++p) {
                dsp::sineLanes(paths[p], inputs.data(), results.data(), static_cast<int>(inputs.size()));
                for (size_t i = 0; i < inputs.size(); ++i) record(lanes[p], inputs[i], 0, results[i], expected[i], expected[i]);
            }
            inputs.clear();
            expected.clear();
        };
        const uint64_t stride = strideFor(exhaustive, kShift);
        for (uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += stride) {
            const float x = std::bit_cast<float>(static_cast<uint32_t>(bits));
            const float exact = std::fmod(x, dsp::kTwoPi);
            const float mine = dsp::remainderOfTurn(x);
            record(tr, x, 0, mine, exact, exact);
            float r = exact;
            if (r < 0.0f) r = r + dsp::kTwoPi;
            const float y = r <= dsp::kHalfPi ? r : r <= dsp::kThreeHalfPi ? dsp::kPi - r : r - dsp::kTwoPi;
            const float old = y * dsp::sinePolynomialFactor(y);
            record(ts, x, 0, dsp::sine(x), old, old);
            inputs.push_back(x);
            expected.push_back(old);
            if (inputs.size() == kBatch) checkLanes();
        }
        checkLanes();
        finish(tr);
        finish(ts);
        for (const Tally& t : lanes) finish(t);
    }
    std::printf("%s\n", failures == 0 ? "every result matches the reference" : "MISMATCHES against the reference");
    return failures == 0 ? 0 : 1;
}
