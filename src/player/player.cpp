#include "player/player.h"

#include <atomic>
#include <cstring>

#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

namespace zimblo::player {

namespace {

// The text every entry gets when a song carries no readable text block.
constexpr char kDefaultText[] = " ";

// isOpen and state are the two fields a render on the feeder thread reads
// while the owner's thread runs the transport; their stores keep their order.
void publish(uint32_t& field, uint32_t value) {
    std::atomic_ref<uint32_t>(field).store(value, std::memory_order_release);
}
uint32_t observe(uint32_t& field) {
    return std::atomic_ref<uint32_t>(field).load(std::memory_order_acquire);
}
void publish(PlayState& field, PlayState value) {
    std::atomic_ref<PlayState>(field).store(value, std::memory_order_release);
}
PlayState observe(PlayState& field) {
    return std::atomic_ref<PlayState>(field).load(std::memory_order_acquire);
}

// The engine's buffers hold kMaxFrameLength frames; the control frame at a rate
// is round(rate · 128 / 44100 + 0.5), which passes 280 above 96468 Hz.
bool rateSupported(uint32_t rate) {
    const int32_t frameLength = roundToInt(static_cast<float>(rate) * 128.0f / 44100.0f + 0.5f);
    return frameLength <= dsp::kMaxFrameLength;
}

// f · sampleRate / timeUnitsPerSecond, signed 64-bit, truncated toward zero.
// A time unit of 0 makes every time 0.
int64_t timeToFrames(int32_t time, uint32_t sampleRate, uint32_t timeUnitsPerSecond) {
    if (timeUnitsPerSecond == 0) return 0;
    return int64_t{time} * int64_t{sampleRate} / int64_t{timeUnitsPerSecond};
}

}  // namespace

uint32_t Player::parseSong(const uint8_t* song) {
    ticksPerQuarter = readU32(song);
    scaledTicksPerQuarter = ticksPerQuarter * 10000u;
    songLength = readU32(song + 4);
    tempoCount = readU32(song + 8);
    tempoMap = song + kHeaderBytes;
    const uint8_t* p = tempoMap + kTempoEntryBytes * size_t{tempoCount};

    for (TrackLanes& lanes : tracks) {
        lanes[kNoteLane].count = readU32(p);
        p += 4;
        if (lanes[kNoteLane].count == 0) continue;  // the other references are left as they were
        for (int l = 0; l < kLanesPerTrack; ++l) {
            if (l != kNoteLane) {
                lanes[l].count = readU32(p);
                p += 4;
            }
            lanes[l].planes = p;
            p += size_t{kDeltaPlanes + laneValuePlanes(l)} * lanes[l].count;
        }
    }

    effectBlockSize = readU32(p);
    p += 4;
    if (effectBlockSize > kMaxEffectBlockBytes) return 0;
    effectBlock = p;
    p += effectBlockSize;

    const uint32_t bankSize = readU32(p);
    p += 4;
    if (bankSize > kMaxPatchBankBytes) return 0;
    patchBank = synth::PatchBank{p, bankSize};
    p += bankSize;

    const uint32_t textSize = readU32(p);
    p += 4;
    if (textSize == 0 || textSize > kMaxTextBlockBytes) {
        textBlock = nullptr;
        texts.fill(kDefaultText);
        return 1;
    }
    textBlock = p;
    // The table has 256 entries; a larger count is cut there. Entries beyond
    // the count are cleared, so no text of an earlier song survives.
    uint32_t textCount = readU32(textBlock);
    if (textCount > kTextTableSize) textCount = kTextTableSize;
    for (uint32_t i = 0; i < kTextTableSize; ++i) {
        texts[i] = i < textCount
                       ? reinterpret_cast<const char*>(textBlock + readU32(textBlock + 4 + 4 * size_t{i}))
                       : nullptr;
    }
    return 1;
}

uint32_t Player::open(const uint8_t* song, uint32_t rate) {
    if (observe(isOpen)) close();
    if (song == nullptr || !rateSupported(rate)) return 0;
    sampleRate = rate;
    if (!parseSong(song)) return 0;
    resetSequencer();
    publish(isOpen, 1);
    return 1;
}

uint32_t Player::openChecked(const uint8_t* song, size_t length, uint32_t rate, std::string* error) {
    std::string problem = checkSong(song, length);
    if (problem.empty() && !rateSupported(rate))
        problem = "sample rate " + std::to_string(rate) +
                  " Hz is not supported: its control frame would exceed " +
                  std::to_string(dsp::kMaxFrameLength) + " frames";
    if (!problem.empty()) {
        if (error != nullptr) *error = problem;
        return 0;
    }
    if (error != nullptr) error->clear();
    return open(song, rate);
}

void Player::close() {
    if (!observe(isOpen)) return;
    if (state != PlayState::Stopped) stop(0);
    publish(isOpen, 0);
}

uint32_t Player::stop(int32_t fadeTime) {
    if (!observe(isOpen)) return 0;
    if (fadeTime != 0) {
        const int64_t frames = timeToFrames(fadeTime, sampleRate, timeUnitsPerSecond);
        // A fade of no frames (or a negative time) would divide by 0, and one
        // from a level that is already 0 would have a step of 0 and never end:
        // those stop at once.
        if (frames > 0) {
            const uint32_t fadeFrames = frames > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<uint32_t>(frames);
            const float step = fadeLevel / static_cast<float>(fadeFrames);
            if (step > 0.0f) {
                fadeStep = step;
                return fadeFrames;
            }
        }
    }
    publish(state, PlayState::Stopped);
    return 0;
}

void Player::play(int32_t startTime) {
    if (!observe(isOpen) || sampleRate == 0) return;
    stop(0);
    resetSequencer();
    publish(isOpen, 0);  // a render during the seek yields silence

    int64_t target = timeToFrames(startTime, sampleRate, timeUnitsPerSecond);
    if (target < 0) target = 0;  // before the beginning is the beginning
    publish(state, PlayState::Playing);
    samplesToNextEvent = 0;
    remainderAccumulator = 0;
    uint64_t elapsed = 0;

    // Every event before the target reaches the Synth in order; no frame is
    // rendered, so notes started here sound only once rendering starts.
    if (target != 0) {
        do {
            if (state != PlayState::Playing) break;
            elapsed += samplesToNextEvent;
            step();
            if (state == PlayState::Playing)
                ticksToSamples(nextEventTick, currentTick, scaledSamplesPerQuarter, scaledTicksPerQuarter,
                               remainderAccumulator, samplesToNextEvent);
            else
                samplesToNextEvent = kNoTick;
        } while (elapsed + samplesToNextEvent < static_cast<uint64_t>(target));
    }

    fadeLevel = 1.0f;
    fadeStep = 0.0f;
    // Leave the frames from the target to the next step.
    if (state == PlayState::Playing)
        samplesToNextEvent = static_cast<uint32_t>(elapsed + samplesToNextEvent - static_cast<uint64_t>(target));
    publish(isOpen, 1);
}

void Player::render(StereoFrame* frames, uint32_t count, uint32_t mix) {
    if (frames == nullptr) return;
    const bool openNow = observe(isOpen) != 0;
    const PlayState playState = observe(state);

    if (openNow && playState == PlayState::Playing) {
        StereoFrame* out = frames;
        uint32_t remaining = count;
        while (remaining != 0) {
            const uint32_t n = remaining < samplesToNextEvent ? remaining : samplesToNextEvent;
            if (n != 0) {
                synth.render(&out->left, n, nullptr, mix);
                remaining -= n;
                samplesToNextEvent -= n;
                out += n;
            }
            // Also at the very end of the block: the step is due now.
            if (samplesToNextEvent == 0) {
                step();
                if (state == PlayState::Playing)
                    ticksToSamples(nextEventTick, currentTick, scaledSamplesPerQuarter,
                                   scaledTicksPerQuarter, remainderAccumulator, samplesToNextEvent);
                else
                    samplesToNextEvent = kNoTick;
            }
        }
    } else if (openNow && playState == PlayState::Ended) {
        synth.render(&frames->left, count, nullptr, mix);
    } else if (mix == 0) {
        std::memset(static_cast<void*>(frames), 0, sizeof(StereoFrame) * size_t{count});
    }

    // Each frame is scaled before the level falls, so the first faded frame
    // keeps the level the fade started from.
    if (fadeStep != 0.0f) {
        float level = fadeLevel;
        const float step = fadeStep;
        for (uint32_t i = 0; i < count; ++i) {
            frames[i].left = frames[i].left * level;
            frames[i].right = frames[i].right * level;
            level = level - step;
            if (level < 0.0f) level = 0.0f;
        }
        fadeLevel = level;
        if (fadeLevel == 0.0f) stop(0);
    }
}

void Player::renderCallback(void* context, StereoFrame* frames, uint32_t count) {
    static_cast<Player*>(context)->render(frames, count, 0);
}

}  // namespace zimblo::player
