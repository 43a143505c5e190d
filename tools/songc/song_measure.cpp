#include "song_measure.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "dsp/free_running_counter.h"
#include "player/player.h"

namespace zimblo::songc {

namespace {
constexpr uint32_t kBlockFrames = 1024;
constexpr float kAudibleLevel = 3.1622776e-5f;  // -90 dBFS
}  // namespace

SongMeasure measureSong(const std::vector<uint8_t>& song, double tailSeconds, double maxSeconds, uint32_t seed,
                        std::vector<float>* mono) {
    SongMeasure m;
    dsp::pinFreeRunningCounter(seed);
    auto player = std::make_unique<player::Player>();
    std::string problem;
    if (player->openChecked(song.data(), song.size(), kMeasureRate, &problem) == 0) {
        dsp::unpinFreeRunningCounter();
        return m;
    }
    m.opened = true;
    player->play(0);
    std::vector<StereoFrame> block(kBlockFrames);
    const uint64_t maxFrames = static_cast<uint64_t>(maxSeconds * kMeasureRate);
    const uint64_t tailFrames = static_cast<uint64_t>(tailSeconds * kMeasureRate);
    bool ended = false;
    while (m.framesRendered < maxFrames) {
        if (!ended && player->state != player::PlayState::Playing) {
            ended = true;
            m.framesToEnd = m.framesRendered;
        }
        if (ended && m.framesRendered >= m.framesToEnd + tailFrames) break;
        player->render(block.data(), kBlockFrames, 0);
        for (uint32_t i = 0; i < kBlockFrames; ++i) {
            if (mono != nullptr) mono->push_back((block[i].left + block[i].right) * 0.5f);
            for (const float x : {block[i].left, block[i].right}) {
                if (!std::isfinite(x)) {
                    ++m.nonFiniteSamples;
                    continue;
                }
                const float magnitude = std::fabs(x);
                m.peak = std::max(m.peak, magnitude);
                if (magnitude >= 1.0f) ++m.clampedSamples;
                if (magnitude > kAudibleLevel) m.lastAudibleFrame = m.framesRendered + i;
            }
        }
        for (int c = 0; c < 16; ++c) {
            float left = 0.0f, right = 0.0f;
            player->synth.channelLevel(c, left, right);
            m.channelPeak[c] = std::max({m.channelPeak[c], left, right});
        }
        m.framesRendered += kBlockFrames;
    }
    if (!ended) m.framesToEnd = m.framesRendered;
    player->close();
    dsp::unpinFreeRunningCounter();
    return m;
}

}  // namespace zimblo::songc
