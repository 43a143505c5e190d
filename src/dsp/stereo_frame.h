// One frame of interleaved stereo audio; blocks are arrays of these.
#pragma once

namespace zimblo {

struct StereoFrame {
    float left = 0.0f;
    float right = 0.0f;
};

static_assert(sizeof(StereoFrame) == 2 * sizeof(float), "frames are interleaved float pairs");

}  // namespace zimblo
