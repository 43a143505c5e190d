#include "player/end_rule.h"

#include <algorithm>
#include <cmath>

namespace zimblo::player {

namespace {

bool isQuiet(const StereoFrame& frame) {
    return std::fabs(frame.left) < kEndQuietLevel && std::fabs(frame.right) < kEndQuietLevel;
}

}  // namespace

void EndRule::setup(uint32_t rate) {
    quietFramesNeeded = uint64_t{rate} * kEndQuietSeconds;
    longestTailFrames = uint64_t{rate} * kEndLongestTailSeconds;
    reset();
}

void EndRule::reset() {
    tailFrames = 0;
    quietFrames = 0;
    finished = false;
}

uint32_t EndRule::observe(const StereoFrame* frames, uint32_t count, bool songEnded) {
    if (finished) return 0;
    if (!songEnded) return count;
    for (uint32_t i = 0; i < count; ++i) {
        quietFrames = isQuiet(frames[i]) ? quietFrames + 1 : 0;
        ++tailFrames;
        if (quietFrames >= quietFramesNeeded || tailFrames >= longestTailFrames) {
            finished = true;
            return i + 1;
        }
    }
    return count;
}

uint32_t renderUntilEnd(Player& player, EndRule& rule, StereoFrame* frames, uint32_t count) {
    uint32_t done = 0;
    while (done < count && !rule.finished) {
        const bool ended = player.state != PlayState::Playing;
        uint32_t n = count - done;
        // Up to the next step, so that a step ending the song closes a piece;
        // a step due now is taken before one frame.
        if (!ended) n = std::min(n, std::max(player.samplesToNextEvent, 1u));
        player.render(frames + done, n, 0);
        const uint32_t kept = rule.observe(frames + done, n, ended);
        done += kept;
        if (kept < n) break;
    }
    std::fill(frames + done, frames + count, StereoFrame{});
    return done;
}

}  // namespace zimblo::player
