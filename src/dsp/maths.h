// Maths shared by every unit's set-up and by the sine shapes.
//
// No result depends on the system's maths library: every transcendental is
// computed here. The float helpers (the 2^x family and power) give the float
// nearest to the exact value; the double ones give the double nearest to the
// exact value, and the set-ups that need them round from there as their
// formulas say. Both are evaluated in double-double arithmetic (about 100
// significant bits) and rounded once. sine() is a folded odd polynomial,
// accurate to about 1e-4, whose exact bits are part of the sound.
#pragma once

#include <cstdint>

namespace zimblo::dsp {

constexpr float kTwoPi = 6.2831854820251465f;
constexpr float kPi = 3.1415927410125732f;
constexpr float kHalfPi = 1.5707963705062866f;
constexpr float kThreeHalfPi = 4.71238899230957f;
// 2π rounded to double (the value 8·atan(1) has in double).
constexpr double kTwoPiDouble = 0x1.921fb54442d18p+2;

// 1 + y²·(−0.16666 + y²·(0.0083143 + y²·(−0.00018542))), Horner from the inside;
// multiplied by y it approximates sin(y) on [−π/2, π/2].
float sinePolynomialFactor(float y);

// x − n·kTwoPi for the whole n that leaves the sign of x and a magnitude below
// kTwoPi: the exact remainder (what fmodf gives), NaN for an infinite or NaN x.
float remainderOfTurn(float x);

// sin(x): x reduced into [0, 2π), folded into [−π/2, π/2], then the polynomial.
float sine(float x);

// 2^x, the float nearest to the exact value.
float exp2(float x);
// 2^x of a double x, the float nearest to the exact value.
float exp2Nearest(double x);
// 2^(10·(x − 1)): 2^-10 at 0, 1 at 1.
float exp2Ten(float x);
// 2^(11·(x − 1)): 2^-11 at 0, 1 at 1.
float exp2Eleven(float x);
// x^y for x >= 0 as 2^(y·log2 x), y·log2 x formed in double from the double
// nearest to log2 x; 0 when x is 0 or the exponent rounds to -16383 or below,
// +infinity when it rounds to 16385 or above.
float power(float x, float y);

// The double nearest to e^x, to log2 x (x > 0), to sin x, cos x and atan x.
double expNearest(double x);
double log2Nearest(double x);
double sinNearest(double x);
double cosNearest(double x);
double atanNearest(double x);

}  // namespace zimblo::dsp
