#include "fx/low_shelf.h"

#include <cmath>

#include "dsp/maths.h"
#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

namespace zimblo::fx {

void LowShelf::setParams(float p) {
    enable = roundToInt(p);
    if (enable == 0) return;

    const float gainA = gainCurve(p / 128.0f);
    const float c = dsp::rates().eqCosine;
    const float s = std::sqrt(2.0f * gainA) * dsp::rates().eqSine;
    const float aPlus = gainA + 1.0f;
    const float aMinus = gainA - 1.0f;

    const float a0 = (aPlus + aMinus * c) + s;
    const float inverseA0 = 1.0f / a0;
    b0 = (gainA * ((aPlus - aMinus * c) + s)) * inverseA0;
    b1 = ((2.0f * gainA) * (aMinus - aPlus * c)) * inverseA0;
    b2 = (gainA * ((aPlus - aMinus * c) - s)) * inverseA0;
    a1 = (-2.0f * (aMinus + aPlus * c)) * inverseA0;
    a2 = ((aPlus + aMinus * c) - s) * inverseA0;
}

void LowShelf::process(StereoFrame* buffer, int n) {
    if (enable == 0) return;

    const float cb0 = b0, cb1 = b1, cb2 = b2, ca1 = a1, ca2 = a2;
    float xl1 = x1L, xl2 = x2L, yl1 = y1L, yl2 = y2L;
    float xr1 = x1R, xr2 = x2R, yr1 = y1R, yr2 = y2R;
    for (int i = 0; i < n; ++i) {
        const float xl = buffer[i].left + kDenormalGuard;
        const float yl = (((cb0 * xl + cb1 * xl1) + cb2 * xl2) - ca1 * yl1) - ca2 * yl2;
        xl2 = xl1;
        xl1 = xl;
        yl2 = yl1;
        yl1 = yl;
        buffer[i].left = yl;

        const float xr = buffer[i].right + kDenormalGuard;
        const float yr = (((cb0 * xr + cb1 * xr1) + cb2 * xr2) - ca1 * yr1) - ca2 * yr2;
        xr2 = xr1;
        xr1 = xr;
        yr2 = yr1;
        yr1 = yr;
        buffer[i].right = yr;
    }
    x1L = xl1;
    x2L = xl2;
    y1L = yl1;
    y2L = yl2;
    x1R = xr1;
    x2R = xr2;
    y1R = yr1;
    y2R = yr2;
}

}  // namespace zimblo::fx
