// Maths shared by every unit's set-up and by the sine shapes.
//
// All results are floats. The 2^x family is the float nearest to the exact
// value; sine() is a folded odd polynomial, accurate to about 1e-4, whose exact
// bits are part of the sound.
#pragma once

namespace zimblo::dsp {

constexpr float kTwoPi = 6.2831854820251465f;
constexpr float kPi = 3.1415927410125732f;
constexpr float kHalfPi = 1.5707963705062866f;
constexpr float kThreeHalfPi = 4.71238899230957f;

// 1 + y²·(−0.16666 + y²·(0.0083143 + y²·(−0.00018542))), Horner from the inside;
// multiplied by y it approximates sin(y) on [−π/2, π/2].
float sinePolynomialFactor(float y);

// sin(x): x reduced into [0, 2π), folded into [−π/2, π/2], then the polynomial.
float sine(float x);

// 2^x, the float nearest to the exact value.
float exp2(float x);
// 2^(10·(x − 1)): 2^-10 at 0, 1 at 1.
float exp2Ten(float x);
// 2^(11·(x − 1)): 2^-11 at 0, 1 at 1.
float exp2Eleven(float x);
// x^y for x >= 0 as 2^(y·log2 x); 0 when x is 0 or the exponent rounds to
// -16383 or below, +infinity when it rounds to 16385 or above.
float power(float x, float y);

}  // namespace zimblo::dsp
