#include "speech/lyric_sequencer.h"

#include <algorithm>
#include <cmath>

#include "dsp/maths.h"
#include "dsp/numerics.h"
#include "speech/frame_table.h"
#include "speech/phoneme_table.h"

namespace zimblo::speech {

namespace {

constexpr char kEmptyLine[] = "";
constexpr char kNoteOnMark = '!';
constexpr char kNoteOffMark = '_';
// Frames whose ranks differ by more than this are entered without a glide.
constexpr float kMaxGlideRankDifference = 8.0f;
// Longer digit strings saturate here, so steps · speed stays far inside range
// (65535 · 16 steps are about 2.5 hours at speed 3).
constexpr int32_t kMaxMultiplier = 65535;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void LyricSequencer::setTexts(const char* const* table) {
    for (int i = 0; i < kTextCount; ++i) texts[i] = table != nullptr ? table[i] : nullptr;
    lineStart = texts[0];
    position = texts[0];
}

const char* LyricSequencer::line(uint32_t index) const {
    const char* text = index < kTextCount ? texts[index] : nullptr;
    return text != nullptr ? text : kEmptyLine;
}

void LyricSequencer::step(FormantFilter& filter) {
    if (noteOnPause || noteOffPause || position == nullptr) return;
    if (stepCountdown <= 0) {
        stepCountdown = speed;
        if (frameStepsCountdown <= 0) {
            if (!advanceFrame()) return;
            loadFrame();
        }
        frameStepsCountdown -= 1;
    }
    glide(filter);
}

bool LyricSequencer::advanceFrame() {
    slot += 1;
    if (slot < kFramesPerPhoneme && kPhonemeTable[row].frames[slot] != kNoFrame) return true;

    const char c = *position;
    if (c == '\0') {
        // Back to the line start. The first frame after the wrap starts with a
        // step countdown of 1 instead of speed, so it is speed − 1 frames shorter.
        position = lineStart;
        multiplier = 1;
        stepCountdown = 1;
        row = kSilenceRow;
        slot = 0;
        const char first = *position;
        if (first == '\0' || first == kNoteOnMark || first == kNoteOffMark) return true;
        readPhoneme();
        return true;
    }
    if (c == kNoteOnMark || c == kNoteOffMark) {
        (c == kNoteOnMark ? noteOnPause : noteOffPause) = true;
        position += 1;
        frameStepsCountdown = 0;
        stepCountdown = 0;
        return false;
    }
    readPhoneme();
    return true;
}

void LyricSequencer::readPhoneme() {
    multiplier = 0;
    while (isDigit(*position)) {
        multiplier = std::min(multiplier * 10 + (*position - '0'), kMaxMultiplier);
        position += 1;
    }
    if (multiplier == 0) multiplier = 1;
    slot = 0;
    if (*position == '\0') {
        // Digits ending the line: one silence, and the NUL stays for the wrap.
        row = kSilenceRow;
        return;
    }
    const PhonemeMatch match = lookUpPhoneme(position);
    row = match.row;
    position += match.length;
}

void LyricSequencer::loadFrame() {
    previousFrame = currentFrame;
    currentFrame = kPhonemeTable[row].frames[slot];
    const float duration = frameTable()[currentFrame][kDuration];
    int32_t steps = roundToInt(static_cast<float>(multiplier) * duration);
    if (steps == 0) steps = 1;
    frameStepsCountdown = steps;
    inverseLength = 1.0f / static_cast<float>(static_cast<int64_t>(steps) * speed);
}

void LyricSequencer::glide(FormantFilter& filter) {
    stepCountdown -= 1;
    const int64_t glidePosition = static_cast<int64_t>(frameStepsCountdown) * speed + stepCountdown;
    const float t = static_cast<float>(glidePosition) * inverseLength;
    const FormantFrame& previous = frameTable()[previousFrame];
    const FormantFrame& current = frameTable()[currentFrame];
    const float weight = dsp::power(t, previous[kRank] / current[kRank]);
    const bool switchesAtOnce =
        std::fabs(current[kRank] - previous[kRank]) > kMaxGlideRankDifference;
    computeCoefficientSet(current, switchesAtOnce ? current : previous, weight,
                          filter.formantScale, filter.target, &poles);
}

}  // namespace zimblo::speech
