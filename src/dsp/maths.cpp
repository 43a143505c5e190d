#include "dsp/maths.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace zimblo::dsp {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------
// Double-double arithmetic: a value is hi + lo with |lo| <= ulp(hi)/2, about
// 106 significant bits. Built from exact transformations of plain double
// operations (no fused multiply-add), so every processor gives the same bits.

struct Wide {
    double hi = 0.0;
    double lo = 0.0;
};

// a + b = s + e exactly.
Wide twoSum(double a, double b) {
    const double s = a + b;
    const double bVirtual = s - a;
    const double e = (a - (s - bVirtual)) + (b - bVirtual);
    return {s, e};
}

// a + b = s + e exactly, given |a| >= |b|.
Wide quickTwoSum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// a = hi + lo, each half of 26 bits (Veltkamp's split).
Wide split(double a) {
    constexpr double kSplitter = 134217729.0;  // 2^27 + 1
    const double c = kSplitter * a;
    const double hi = c - (c - a);
    return {hi, a - hi};
}

// a · b = p + e exactly (Dekker's product).
Wide twoProduct(double a, double b) {
    const double p = a * b;
    const Wide as = split(a), bs = split(b);
    const double e = ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo;
    return {p, e};
}

Wide add(Wide a, Wide b) {
    Wide s = twoSum(a.hi, b.hi);
    const Wide t = twoSum(a.lo, b.lo);
    s.lo += t.hi;
    s = quickTwoSum(s.hi, s.lo);
    s.lo += t.lo;
    return quickTwoSum(s.hi, s.lo);
}

Wide add(Wide a, double b) {
    Wide s = twoSum(a.hi, b);
    s.lo += a.lo;
    return quickTwoSum(s.hi, s.lo);
}

Wide negate(Wide a) { return {-a.hi, -a.lo}; }

Wide multiply(Wide a, Wide b) {
    Wide p = twoProduct(a.hi, b.hi);
    p.lo += a.hi * b.lo + a.lo * b.hi;
    return quickTwoSum(p.hi, p.lo);
}

Wide multiply(Wide a, double b) {
    Wide p = twoProduct(a.hi, b);
    p.lo += a.lo * b;
    return quickTwoSum(p.hi, p.lo);
}

// Exact for a power-of-two factor.
Wide scale(Wide a, double powerOfTwo) { return {a.hi * powerOfTwo, a.lo * powerOfTwo}; }

Wide divide(Wide a, Wide b) {
    const double q1 = a.hi / b.hi;
    Wide r = add(a, negate(multiply(b, q1)));
    const double q2 = r.hi / b.hi;
    r = add(r, negate(multiply(b, q2)));
    const double q3 = r.hi / b.hi;
    return add(quickTwoSum(q1, q2), q3);
}

Wide squareRoot(Wide a) {
    // The square root is correctly rounded on every target (IEEE 754): one
    // Newton step from it.
    const double s = std::sqrt(a.hi);
    const Wide residual = add(a, negate(twoProduct(s, s)));
    return quickTwoSum(s, residual.hi / (2.0 * s));
}

// hi is already the double nearest to hi + lo, except in an exact tie between
// two doubles, which lo would break: such ties need a value of exactly
// 54 bits and do not arise from these transcendental results.
double nearestDouble(Wide a) { return a.hi; }

// The float nearest to hi + lo: converting hi rounds correctly unless hi lies
// exactly half-way between two floats, where the sign of lo decides.
float nearestFloat(Wide a) {
    const float f = static_cast<float>(a.hi);
    const double rest = a.hi - static_cast<double>(f);  // exact
    if (rest == 0.0 || a.lo == 0.0 || (rest > 0.0) != (a.lo > 0.0)) return f;
    // The neighbour of f on the side of hi, and whether hi is their midpoint.
    const uint32_t bits = std::bit_cast<uint32_t>(f);
    const bool awayFromZero = (rest > 0.0) == (f > 0.0 || (f == 0.0 && rest > 0.0));
    const uint32_t neighbourBits = f == 0.0f ? (rest > 0.0 ? 1u : 0x80000001u)
                                             : (awayFromZero ? bits + 1 : bits - 1);
    const float neighbour = std::bit_cast<float>(neighbourBits);
    const double midpoint = (static_cast<double>(f) + static_cast<double>(neighbour)) * 0.5;
    return midpoint == a.hi ? neighbour : f;
}

// 2^n for whole n in [-1022, 1023].
double powerOfTwo(int n) { return std::bit_cast<double>(static_cast<uint64_t>(n + 1023) << 52); }

// Nearest whole number, ties to even, for |x| < 2^51: a double of magnitude
// 2^52 .. 2^53 has no fraction bits, so adding and removing 1.5·2^52 rounds.
double roundWhole(double x) {
    constexpr double kShifter = 0x1.8p52;
    return (x + kShifter) - kShifter;
}

constexpr Wide kLn2 = {0x1.62e42fefa39efp-1, 0x1.abc9e3b39803fp-56};
constexpr Wide kInverseLn2 = {0x1.71547652b82fep+0, 0x1.777d0ffda0d24p-56};
constexpr Wide kHalfPiWide = {0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54};
constexpr double kHalfPiThird = -0x1.f1976b7ed8fbcp-110;  // π/2 beyond kHalfPiWide
constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;

// e^t − 1 for |t| <= 0.36: Taylor series of t/256 (ten terms reach 2^-120),
// then eight doublings through expm1(2u) = expm1(u)·(2 + expm1(u)).
Wide expMinusOne(Wide t) {
    constexpr int kHalvings = 8;
    constexpr int kTerms = 10;
    const Wide u = scale(t, 1.0 / 256.0);
    Wide series = {1.0, 0.0};
    for (int n = kTerms; n >= 2; --n) {
        series = add(divide(multiply(series, u), Wide{static_cast<double>(n), 0.0}), 1.0);
    }
    Wide result = multiply(series, u);
    for (int i = 0; i < kHalvings; ++i) result = multiply(result, add(result, 2.0));
    return result;
}

// 2^x for a finite double x in (-1100, 1100), as hi + lo before the final scaling
// by 2^whole (returned through whole).
Wide exp2Parts(double x, int& whole) {
    const double n = roundWhole(x);
    const double f = x - n;  // exact, |f| <= 1/2
    Wide t = twoProduct(f, kLn2.hi);
    t = add(t, f * kLn2.lo);
    whole = static_cast<int>(n);
    return add(expMinusOne(t), 1.0);
}

// 2^x as hi + lo, or +infinity / 0 beyond the range of doubles.
Wide exp2Wide(double x) {
    if (x != x) return {kNaN, 0.0};
    if (x >= 1100.0) return {kInfinity, 0.0};
    if (x <= -1100.0) return {0.0, 0.0};
    int whole = 0;
    Wide m = exp2Parts(x, whole);
    // Scale in two steps so that neither factor leaves the normal range.
    const int first = whole / 2;
    m = scale(scale(m, powerOfTwo(first)), powerOfTwo(whole - first));
    return m;
}

// sin and cos of r for |r| <= π/4 (a little more is fine): Taylor series of r/8,
// then three doublings.
void sinCosReduced(Wide r, Wide& sinOut, Wide& cosOut) {
    constexpr int kDoublings = 3;
    constexpr int kTerms = 11;  // up to s^21 and s^22
    const Wide s = scale(r, 1.0 / 8.0);
    const Wide s2 = multiply(s, s);
    // sin s = s·(1 − s²/(2·3)·(1 − s²/(4·5)·(…))), cos s = 1 − s²/(1·2)·(1 − s²/(3·4)·(…)).
    Wide sinSeries = {1.0, 0.0}, cosSeries = {1.0, 0.0};
    for (int k = kTerms; k >= 1; --k) {
        const double sinDivisor = static_cast<double>((2 * k) * (2 * k + 1));
        const double cosDivisor = static_cast<double>((2 * k - 1) * (2 * k));
        sinSeries = add(negate(divide(multiply(sinSeries, s2), Wide{sinDivisor, 0.0})), 1.0);
        cosSeries = add(negate(divide(multiply(cosSeries, s2), Wide{cosDivisor, 0.0})), 1.0);
    }
    Wide sinValue = multiply(sinSeries, s), cosValue = cosSeries;
    for (int i = 0; i < kDoublings; ++i) {
        const Wide nextSin = scale(multiply(sinValue, cosValue), 2.0);
        // cos 2a = 1 − 2·sin²a keeps its relative accuracy near 1.
        const Wide nextCos = add(negate(scale(multiply(sinValue, sinValue), 2.0)), 1.0);
        sinValue = nextSin;
        cosValue = nextCos;
    }
    sinOut = sinValue;
    cosOut = cosValue;
}

// x − k·π/2 in double-double and the quadrant k mod 4, for |x| < 2^30.
Wide quarterTurnRemainder(double x, int& quadrant) {
    const double k = roundWhole(x * kTwoOverPi);
    Wide r = add(Wide{x, 0.0}, negate(twoProduct(k, kHalfPiWide.hi)));
    r = add(r, negate(twoProduct(k, kHalfPiWide.lo)));
    r = add(r, -(k * kHalfPiThird));
    quadrant = static_cast<int>(static_cast<int64_t>(k) & 3);
    return r;
}

// sin x (wantSine) or cos x as hi + lo.
double sinOrCos(double x, bool wantSine) {
    if (x != x || x == kInfinity || x == -kInfinity) return kNaN;
    // Below 2^-30 the nearest doubles are x and 1 (x³/6 and x²/2 are under half an ulp).
    constexpr double kTiny = 0x1p-30;
    if (x < kTiny && x > -kTiny) return wantSine ? x : 1.0;
    constexpr double kReducible = 0x1p30;
    if (x >= kReducible || x <= -kReducible) return kNaN;  // beyond every use
    int quadrant = 0;
    const Wide r = quarterTurnRemainder(x, quadrant);
    Wide sinR, cosR;
    sinCosReduced(r, sinR, cosR);
    const int index = wantSine ? quadrant : (quadrant + 1) & 3;
    switch (index) {
        case 0: return nearestDouble(sinR);
        case 1: return nearestDouble(cosR);
        case 2: return nearestDouble(negate(sinR));
        default: return nearestDouble(negate(cosR));
    }
}

// atan a for 0 <= a <= 1: three halvings a → a / (1 + sqrt(1 + a²)) bring it
// below tan(π/32), then the odd series (17 terms reach 2^-110), times 8.
Wide atanOfFraction(Wide a) {
    constexpr int kHalvings = 3;
    constexpr int kTerms = 17;
    for (int i = 0; i < kHalvings; ++i) {
        const Wide root = squareRoot(add(multiply(a, a), 1.0));
        a = divide(a, add(root, 1.0));
    }
    const Wide a2 = multiply(a, a);
    Wide series = divide(Wide{1.0, 0.0}, Wide{static_cast<double>(2 * kTerms + 1), 0.0});
    for (int k = kTerms - 1; k >= 0; --k) {
        const Wide coefficient = divide(Wide{1.0, 0.0}, Wide{static_cast<double>(2 * k + 1), 0.0});
        series = add(negate(multiply(series, a2)), coefficient);
    }
    return scale(multiply(series, a), 8.0);
}

// ln m for m in [√½, √2]: 2·atanh(s), s = (m − 1)/(m + 1), |s| <= 0.1716; the
// series in s² up to s^43 reaches 2^-110.
Wide lnNearOne(double m) {
    constexpr int kTerms = 21;
    const Wide s = divide(Wide{m - 1.0, 0.0}, twoSum(m, 1.0));  // m − 1 is exact
    const Wide s2 = multiply(s, s);
    Wide series = divide(Wide{1.0, 0.0}, Wide{static_cast<double>(2 * kTerms + 1), 0.0});
    for (int k = kTerms - 1; k >= 0; --k) {
        const Wide coefficient = divide(Wide{1.0, 0.0}, Wide{static_cast<double>(2 * k + 1), 0.0});
        series = add(multiply(series, s2), coefficient);
    }
    return scale(multiply(series, s), 2.0);
}

// The exact remainder of x by kTwoPi on whole mantissas, for any finite float:
// the long-hand form of what fmodf computes.
float remainderByLongDivision(float x) {
    const uint32_t bits = std::bit_cast<uint32_t>(x);
    const uint32_t sign = bits & 0x80000000u;
    const int exponent = static_cast<int>((bits >> 23) & 0xFFu);
    // kTwoPi = 13176795 · 2^-21; x = mantissa · 2^(exponent − 150) (normal floats here).
    constexpr uint64_t kDivisor = 13176795u;
    constexpr int kDivisorShift = -21;
    uint64_t remainder = ((bits & 0x7FFFFFu) | 0x800000u) % kDivisor;
    int shift = (exponent - 150) - kDivisorShift;  // > 0 for every x this is used for
    while (shift > 0) {
        const int step = shift < 38 ? shift : 38;  // remainder < 2^24: no overflow
        remainder = (remainder << step) % kDivisor;
        shift -= step;
    }
    const float magnitude = static_cast<float>(remainder) * 0x1p-21f;  // exact
    return std::bit_cast<float>(std::bit_cast<uint32_t>(magnitude) | sign);
}

}  // namespace

float sinePolynomialFactor(float y) {
    const float y2 = y * y;
    float p = y2 * -0.00018542f;
    p = 0.0083143f + p;
    p = y2 * p;
    p = -0.16666f + p;
    p = y2 * p;
    p = 1.0f + p;
    return p;
}

float remainderOfTurn(float x) {
    const float magnitude = x < 0.0f ? -x : x;
    if (!(magnitude < std::numeric_limits<float>::infinity())) return std::numeric_limits<float>::quiet_NaN();
    if (magnitude < kTwoPi) return x;
    constexpr float kDoubleQuotientLimit = 0x1p26f;
    if (magnitude >= kDoubleQuotientLimit) return remainderByLongDivision(x);
    // The quotient of the double division is the whole number of turns or one
    // more (when x is just below a multiple); n·2π is exact in double below 2^26
    // (24 + 27 bits), and so is x − n·2π, which has at most 24 significant bits.
    const double turn = static_cast<double>(kTwoPi);
    const double value = static_cast<double>(x);
    double whole = static_cast<double>(static_cast<int64_t>(value / turn));
    double rest = value - whole * turn;
    if (value > 0.0 && rest < 0.0) rest += turn;
    if (value < 0.0 && rest > 0.0) rest -= turn;
    if (rest == 0.0) return x < 0.0f ? -0.0f : 0.0f;  // the remainder keeps the sign of x
    return static_cast<float>(rest);
}

float sine(float x) {
    float r = remainderOfTurn(x);  // exact
    if (r < 0.0f) r = r + kTwoPi;
    float y;
    if (r <= kHalfPi) {
        y = r;
    } else if (r <= kThreeHalfPi) {
        y = kPi - r;
    } else {
        y = r - kTwoPi;
    }
    return y * sinePolynomialFactor(y);
}

float exp2Nearest(double x) {
    if (x != x) return std::numeric_limits<float>::quiet_NaN();
    if (x >= 129.0) return std::numeric_limits<float>::infinity();
    if (x <= -152.0) return 0.0f;
    return nearestFloat(exp2Wide(x));
}

float exp2(float x) { return exp2Nearest(static_cast<double>(x)); }

float exp2Ten(float x) { return exp2((x - 1.0f) * 10.0f); }

float exp2Eleven(float x) { return exp2((x - 1.0f) * 11.0f); }

float power(float x, float y) {
    if (x == 0.0f) return 0.0f;
    const double exponent = static_cast<double>(y) * log2Nearest(static_cast<double>(x));
    // The limits of an 80-bit extended exponent, kept so results match exactly
    // where the exponent is huge: its nearest whole number (ties to even) at
    // -16383 or below, or at 16385 or above.
    if (exponent < -16382.5) return 0.0f;
    if (exponent > 16384.5) return std::numeric_limits<float>::infinity();
    return exp2Nearest(exponent);
}

double expNearest(double x) {
    if (x != x) return x;
    if (x > 710.0) return kInfinity;
    if (x < -746.0) return 0.0;
    // x = k·ln2 + t, |t| <= ln2/2, with k·ln2 taken to 160 bits.
    const double k = roundWhole(x * kInverseLn2.hi);
    Wide t = add(Wide{x, 0.0}, negate(twoProduct(k, kLn2.hi)));
    t = add(t, negate(twoProduct(k, kLn2.lo)));
    t = add(t, -(k * 0x1.7b57a079a1934p-111));  // ln2 beyond kLn2
    Wide m = add(expMinusOne(t), 1.0);
    const int whole = static_cast<int>(k);
    const int first = whole / 2;
    m = scale(scale(m, powerOfTwo(first)), powerOfTwo(whole - first));
    return nearestDouble(m);
}

double log2Nearest(double x) {
    if (x != x || x < 0.0) return kNaN;
    if (x == 0.0) return -kInfinity;
    if (x == kInfinity) return x;
    uint64_t bits = std::bit_cast<uint64_t>(x);
    int exponent = static_cast<int>(bits >> 52) - 1023;
    if (exponent == -1023) {  // subnormal: normalise by 2^64 first
        bits = std::bit_cast<uint64_t>(x * 0x1p64);
        exponent = static_cast<int>(bits >> 52) - 1023 - 64;
    }
    double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
    constexpr double kRootTwo = 1.4142135623730951;
    if (m > kRootTwo) {
        m *= 0.5;
        exponent += 1;
    }
    if (m == 1.0) return static_cast<double>(exponent);
    const Wide fraction = multiply(lnNearOne(m), kInverseLn2);
    return nearestDouble(add(fraction, static_cast<double>(exponent)));
}

double sinNearest(double x) { return sinOrCos(x, true); }

double cosNearest(double x) { return sinOrCos(x, false); }

double atanNearest(double x) {
    if (x != x) return x;
    const bool negative = x < 0.0;
    const double a = negative ? -x : x;
    Wide result;
    if (a <= 1.0) {
        constexpr double kTiny = 0x1p-30;  // the nearest double to atan x is x itself
        if (a < kTiny) return x;
        result = atanOfFraction(Wide{a, 0.0});
    } else if (a == kInfinity) {
        result = kHalfPiWide;
    } else {
        // atan a = π/2 − atan(1/a)
        result = add(kHalfPiWide, negate(atanOfFraction(divide(Wide{1.0, 0.0}, Wide{a, 0.0}))));
    }
    const double magnitude = nearestDouble(result);
    return negative ? -magnitude : magnitude;
}

}  // namespace zimblo::dsp
