#include "dsp/voice.h"

#include <cmath>
#include <cstring>

#include "dsp/numerics.h"
#include "dsp/rate_constants.h"

namespace zimblo::dsp {

namespace {

// VoiceParams layout: where each unit's block of parameters starts.
constexpr int kPan = 0;
constexpr int kVoiceTranspose = 1;
constexpr std::array<int, 3> kOscillatorParams = {2, 8, 14};
constexpr std::array<int, 2> kFilterParams = {20, 23};
constexpr int kRouting = 26;
constexpr int kBalance = 27;
constexpr int kShaperParams = 28;
constexpr std::array<int, 2> kEnvelopeParams = {32, 38};
constexpr std::array<int, 2> kLfoParams = {44, 51};
constexpr int kNoteStartMode = 58;

constexpr float kCentre = 64.0f;                       // no transpose, equal balance
constexpr float kInverseParameterScale = 0.0078125f;  // 1/128
constexpr float kInverseBalanceScale = 0.015625f;     // 1/64: one balance step
constexpr uint32_t kLowByte = 0xFFu;

}  // namespace

void Voice::setup(const float* params) {
    transpose = params[kVoiceTranspose] - kCentre;
    for (Oscillator& oscillator : oscillators) {
        oscillator.note = static_cast<float>(note) + transpose;
    }
    routing = roundToInt(params[kRouting]);
    noteStartMode = roundToInt(params[kNoteStartMode]);

    // Constant-power pan, left² + right² = 1. An unmodulated pan byte above 128 would put
    // 1 − x below 0; it is held at the hard-right end instead.
    float x = params[kPan] * kInverseParameterScale;
    if (x > 1.0f) x = 1.0f;
    if (!(x >= 0.0f)) x = 0.0f;
    leftGain = std::sqrt(1.0f - x);
    rightGain = std::sqrt(x);

    // Balance of the parallel routing: above the centre filter 1 fades, below it filter 2.
    const float b = params[kBalance] - kCentre;
    if (roundToInt(b) >= 0) {
        filter1MixGain = 1.0f - b * kInverseBalanceScale;
        filter2MixGain = 1.0f;
    } else {
        filter1MixGain = 1.0f;
        filter2MixGain = 1.0f + b * kInverseBalanceScale;
    }

    for (int i = 0; i < 3; ++i) oscillators[i].setup(params + kOscillatorParams[i]);
    for (int i = 0; i < 2; ++i) envelopes[i].setup(params + kEnvelopeParams[i]);
    for (int i = 0; i < 2; ++i) filters[i].setup(params + kFilterParams[i]);
    for (int i = 0; i < 2; ++i) lfos[i].setup(params + kLfoParams[i]);
    shaper.setup(params + kShaperParams);
}

void Voice::reset() {
    for (int slot = 0; slot < 3; ++slot) oscillators[slot].reset(slot);
    for (Envelope& envelope : envelopes) envelope.reset();
    for (VoiceFilter& filter : filters) filter.reset();
    for (Lfo& lfo : lfos) lfo.reset();
    shaper.reset();
    dcBlocker.reset();
}

void Voice::start(int32_t noteNumber, int32_t noteVelocity) {
    note = noteNumber;
    for (Oscillator& oscillator : oscillators) {
        oscillator.note = static_cast<float>(noteNumber) + transpose;
    }
    velocity = static_cast<float>(noteVelocity);
    gate = 1;
    for (Envelope& envelope : envelopes) envelope.stage = EnvelopeStage::Attack;

    if (noteStartMode != static_cast<int32_t>(NoteStartMode::Legato)) {
        for (Oscillator& oscillator : oscillators) oscillator.phase = 0;
    }
    if ((static_cast<uint32_t>(noteStartMode) & kLowByte) ==
        static_cast<uint32_t>(NoteStartMode::FullReset)) {
        for (Envelope& envelope : envelopes) envelope.level = 0.0f;
        amplitude = 0.0f;
        for (int slot = 0; slot < 3; ++slot) oscillators[slot].reset(slot);
        for (VoiceFilter& filter : filters) filter.reset();
        shaper.reset();
    }

    for (Oscillator& oscillator : oscillators) oscillator.updatePitch();
    for (Lfo& lfo : lfos) lfo.noteOn();
    dcBlocker.reset();
}

void Voice::release() { gate = 0; }

void Voice::update() {
    envelopes[0].tick(gate);
    envelopes[1].tick(gate);
    lfos[0].tick();
    lfos[1].tick();
    amplitudeStep = (envelopes[0].output * kInverseParameterScale - amplitude) *
                    rates().inverseFrameLength;
}

void Voice::render(int n, StereoFrame* destination, const VoiceScratch& scratch) {
    float* work = scratch.work;
    renderOscillators(work, n, scratch.aux);
    renderChain(work, scratch.second, n);
    applyAmplitude(work, n);
    addPanned(work, n, destination);
}

void Voice::renderOscillators(float* work, int n, const AuxInputs& aux) {
    for (int i = 0; i < n; ++i) work[i] = 0.0f;
    for (Oscillator& oscillator : oscillators) oscillator.render(work, n, aux);
}

void Voice::renderChain(float* work, float* second, int n) {
    switch (static_cast<FilterRouting>(static_cast<uint32_t>(routing) & kLowByte)) {
        case FilterRouting::Parallel: {
            filters[1].render(work, second, n);
            filters[0].render(work, work, n);
            const float mix1 = filter1MixGain;
            const float mix2 = filter2MixGain;
            for (int i = 0; i < n; ++i) work[i] = second[i] * mix2 + work[i] * mix1;
            break;
        }
        case FilterRouting::Single:
            filters[0].render(work, work, n);
            break;
        default:
            filters[0].render(work, work, n);
            filters[1].render(work, work, n);
            break;
    }

    shaper.renderMono(work, work, n);
    dcBlocker.renderMono(work, n);
}

void Voice::applyAmplitude(float* work, int n) {
    const float step = amplitudeStep;
    float gain = amplitude;
    for (int i = 0; i < n; ++i) {
        work[i] = work[i] * gain;
        gain = gain + step;
    }
    amplitude = gain;
}

void Voice::addPanned(const float* work, int n, StereoFrame* destination) const {
    const float left = leftGain;
    const float right = rightGain;
    // Four frames at a time, as two vectors of (left, right, left, right): the same operations
    // per float in far fewer instructions than one side at a time.
    typedef float Four __attribute__((vector_size(16)));
    const Four gains = {left, right, left, right};
    const Four guard = Four{} + kDenormalGuard;
    float* out = &destination[0].left;
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        Four samples;
        std::memcpy(&samples, work + i, sizeof samples);
        Four first;
        Four second;
        std::memcpy(&first, out + 2 * i, sizeof first);
        std::memcpy(&second, out + 2 * i + 4, sizeof second);
        first = first + (__builtin_shufflevector(samples, samples, 0, 0, 1, 1) * gains + guard);
        second = second + (__builtin_shufflevector(samples, samples, 2, 2, 3, 3) * gains + guard);
        std::memcpy(out + 2 * i, &first, sizeof first);
        std::memcpy(out + 2 * i + 4, &second, sizeof second);
    }
    for (; i < n; ++i) {
        const float s = work[i];
        destination[i].left = destination[i].left + (s * left + kDenormalGuard);
        destination[i].right = destination[i].right + (s * right + kDenormalGuard);
    }
}

}  // namespace zimblo::dsp
