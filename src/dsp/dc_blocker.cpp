#include "dsp/dc_blocker.h"

#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

namespace zimblo::dsp {

void DcBlocker::reset() {
    x1L = 0.0f;
    y1L = 0.0f;
    x1R = 0.0f;
    y1R = 0.0f;
}

void DcBlocker::renderMono(float* buffer, int n) {
    const float r = rates().dcCoefficient;
    float a = x1L;
    float b = y1L;
    for (int i = 0; i < n; ++i) {
        const float x = buffer[i];
        const float y = (((r * b - a) + x) + kDenormalGuard) - kDenormalGuard;
        a = x;
        b = y;
        buffer[i] = y;
    }
    x1L = a;
    y1L = b;
}

void DcBlocker::renderStereo(const StereoFrame* in, StereoFrame* out, int n) {
    const float r = rates().dcCoefficient;
    float xl = x1L;
    float yl = y1L;
    float xr = x1R;
    float yr = y1R;
    for (int i = 0; i < n; ++i) {
        // Read both sides before writing: in and out may be the same frame.
        const float inL = in[i].left;
        const float inR = in[i].right;
        float left = (inL - xl) + r * yl;
        left = (left + kDenormalGuard) - kDenormalGuard;
        float right = (inR - xr) + r * yr;
        right = (right + kDenormalGuard) - kDenormalGuard;
        xl = inL;
        yl = left;
        xr = inR;
        yr = right;
        out[i].left = left;
        out[i].right = right;
    }
    x1L = xl;
    y1L = yl;
    x1R = xr;
    y1R = yr;
}

}  // namespace zimblo::dsp
