#include "dsp/lfo.h"

#include "dsp/free_running_counter.h"
#include "dsp/maths.h"
#include "dsp/numerics.h"

namespace zimblo::dsp {

namespace {
// The shape parameter selects by its low 3 bits.
constexpr int32_t kShapeSelectMask = 7;
// The largest fraction of a phase, (2^23 − 1)/2^23: the square's high value.
constexpr float kSquareHigh = 1.0f - 0x1p-23f;
constexpr uint32_t kTopBit = 0x80000000u;
// The last phase of a cycle. A one-shot phase parks here, where every later advance wraps
// and parks it again; as the previous phase it makes the next sample-and-hold tick see a wrap.
constexpr uint32_t kLastPhase = 0xFFFFFFFFu;
// 2^31 as a float, the phase scale of the rate and start-phase formulas.
constexpr float kTwoToThe31 = 2147483648.0f;
// Sample-and-hold generator: state = state · multiplier + increment (mod 2^32).
constexpr uint32_t kRandomMultiplier = 196314165u;
constexpr uint32_t kRandomIncrement = 907633515u;

// The polarity parameter's meaningful values.
constexpr int32_t kPolarityNegative = 1;
constexpr int32_t kPolarityBipolar = 2;
}  // namespace

void Lfo::reset() {
    phase = 0;
    previousPhase = 0;
    randomState = readFreeRunningCounter();
}

void Lfo::setup(const float* params) {
    const float shapeParam = params[0];
    const float keySyncParam = params[1];
    const float oneShotParam = params[2];
    const float rate = params[3];
    const float start = params[4];
    const float polarityParam = params[5];
    const float amount = params[6];

    shape = static_cast<LfoShape>(roundToInt(shapeParam) & kShapeSelectMask);
    keySync = roundToInt(keySyncParam);
    oneShot = roundToInt(oneShotParam);
    // 2^(10·(F/128 − 1)) · 2^30: 2^20 at F = 0, 2^30 (a quarter cycle) at F = 128.
    increment = static_cast<uint32_t>(roundToInt(rateCurve(rate / 128.0f) * kTwoToThe31 * 0.5f));
    // Rounded on a half-range scale and doubled; at P = 128 the rounding yields 0x80000000,
    // which doubles to 0 in 32 bits.
    startPhase = static_cast<uint32_t>(roundToInt(start / 128.0f * kTwoToThe31)) * 2u;
    const int32_t polarity = roundToInt(polarityParam);
    scale = polarity == kPolarityNegative ? -amount : amount;
    offset = polarity == kPolarityBipolar ? -amount * 0.5f : 0.0f;
}

void Lfo::noteOn() {
    if (keySync == 0) return;
    phase = startPhase;
    previousPhase = kLastPhase;
}

void Lfo::tick() {
    const uint32_t current = phase;
    float value;
    switch (shape) {
        case LfoShape::Triangle: {
            // Twice the phase rises over each half cycle; inverting it in the second half
            // turns the rise into a fall.
            uint32_t doubled = current * 2u;
            if ((current & kTopBit) != 0) doubled = ~doubled;
            value = fraction(doubled);
            break;
        }
        case LfoShape::Square:
            value = (current & kTopBit) != 0 ? kSquareHigh : 0.0f;
            break;
        case LfoShape::Sine:
            value = sine(kTwoPi * fraction(current)) * 0.5f + 0.5f;
            break;
        case LfoShape::SampleAndHold: {
            // A phase below the last one seen means a wrap (or a key-synced restart):
            // draw a new value once per cycle.
            uint32_t state = randomState;
            if (current < previousPhase) state = state * kRandomMultiplier + kRandomIncrement;
            randomState = state;
            previousPhase = current;
            value = fraction(state);
            break;
        }
        case LfoShape::Saw:
        default:  // 5..7 are rising saws too
            value = fraction(current);
            break;
    }
    output = value * scale + offset;

    const uint32_t advanced = current + increment;
    const bool wrapped = advanced < current;
    phase = (wrapped && oneShot != 0) ? kLastPhase : advanced;
}

}  // namespace zimblo::dsp
