#include "speech/singer.h"

#include <algorithm>

#include "dsp/maths.h"
#include "speech/frame_table.h"
#include "speech/phoneme_table.h"
#include "speech/shared_values.h"

namespace zimblo::speech {

namespace {

constexpr uint32_t kLineController = 4;
constexpr uint32_t kFormantScaleController = 5;
// Controller 4 values below this select a line, from it up set the speed
// (value − 63); the value itself would mean speed 0 and is ignored.
constexpr uint32_t kSpeedBase = 63;
// Event values are bytes, so speeds stay far below this; it bounds the
// sequencer's products for any 32-bit value.
constexpr uint32_t kMaxSpeed = 65535;
constexpr int32_t kInitialSpeed = 3;
constexpr float kInitialFormantScale = 1.0f;
// Formant scale = 2^((v − 64)/128): ±half an octave over the controller range.
constexpr int64_t kFormantScaleCentre = 64;
constexpr float kFormantScaleOctavesPerStep = 0.0078125f;

// The output resonator: a broad 12 kHz peak with gain 2 at DC.
constexpr float kOutputFrequency = 12000.0f;
constexpr float kOutputBandwidth = 4000.0f;
constexpr float kOutputGain = 2.0f;

}  // namespace

void Singer::setSampleRate(uint32_t rate) { setSingerSampleRate(rate); }

void Singer::initialise() {
    decodeSharedFrameTable();
    reset();   // with the formant scale as it stands (0 after the engine clear)
    filter.formantScale = kInitialFormantScale;
    sequencer.speed = kInitialSpeed;
    sequencer.lineStart = sequencer.line(0);
    sequencer.position = sequencer.lineStart;
    filter.previousVoiced = 0.0f;
    setResonator(singerShared().outputTriple, kOutputFrequency, kOutputBandwidth, kOutputGain);
}

void Singer::reset() {
    // Resonator i always reads triple i of the current set and the output
    // resonator the shared triple, so there is nothing to re-bind.
    const FormantFrame& silence = frameTable()[kSilenceFrame];
    computeCoefficientSet(silence, silence, 0.0f, filter.formantScale, filter.current);
    filter.target = filter.current;
    sequencer.previousFrame = kSilenceFrame;
    sequencer.currentFrame = kSilenceFrame;
    sequencer.slot = kFramesPerPhoneme;   // the next step reads text
}

void Singer::setTexts(const char* const* table) { sequencer.setTexts(table); }

void Singer::step() { sequencer.step(filter); }

void Singer::render(StereoFrame* frames, int n) {
    if (n <= 0) return;
    filter.render(frames, n);
}

void Singer::controller(uint32_t number, uint32_t value) {
    if (number == kLineController) {
        if (value < kSpeedBase) {
            reset();
            sequencer.lineStart = sequencer.line(value);
            sequencer.position = sequencer.lineStart;
        } else if (value > kSpeedBase) {
            sequencer.speed = static_cast<int32_t>(std::min(value - kSpeedBase, kMaxSpeed));
        }
    } else if (number == kFormantScaleController) {
        const int64_t steps = static_cast<int64_t>(value) - kFormantScaleCentre;
        const float octaves = static_cast<float>(steps) * kFormantScaleOctavesPerStep;
        filter.formantScale = dsp::power(2.0f, octaves);
    }
}

void Singer::resumeAfterNoteOn() { sequencer.noteOnPause = false; }

void Singer::resumeAfterNoteOff() { sequencer.noteOffPause = false; }

}  // namespace zimblo::speech
