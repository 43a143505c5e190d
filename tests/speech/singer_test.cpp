#include "speech/singer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <functional>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "speech/frame_table.h"
#include "speech/phoneme_table.h"
#include "speech/shared_values.h"

namespace zimblo::speech {
namespace {

// A stretch of control frames during which one formant frame was current:
// {frame, control frames, multiplier}.
using Runs = std::vector<std::array<int, 3>>;

// Steps until a pause mark is read (that step is not counted) or maxSteps have
// run. Adjacent frames must differ to be told apart.
Runs sing(Singer& singer, int maxSteps, const std::function<void()>& afterStep = [] {}) {
    Runs runs;
    for (int i = 0; i < maxSteps; ++i) {
        singer.step();
        afterStep();
        const LyricSequencer& s = singer.sequencer;
        if (s.noteOnPause || s.noteOffPause) break;
        const int frame = s.currentFrame;
        if (runs.empty() || runs.back()[0] != frame) runs.push_back({frame, 0, s.multiplier});
        runs.back()[1] += 1;
    }
    return runs;
}

template <class T>
auto bytesOf(const T& value) { return std::bit_cast<std::array<unsigned char, sizeof(T)>>(value); }

using Coefficients = std::array<float, kCoefficientCount>;
using Frames = std::vector<StereoFrame>;

CoefficientSet setFor(const FormantFrame& frame, float scale = 1.0f) {
    CoefficientSet set;
    computeCoefficientSet(frame, frame, 0.0f, scale, set);
    return set;
}
Coefficients asArray(const CoefficientSet& set) { return std::bit_cast<Coefficients>(set); }
Coefficients tableSet(int f, float scale = 1.0f) { return asArray(setFor(frameTable()[f], scale)); }

Singer initialisedSinger() {
    Singer::setSampleRate(44100);
    Singer singer{};
    singer.initialise();
    return singer;
}

// What a triple does: centre frequency (cos θ = B/2r, r² = −C) and bandwidth
// (r = e^(−π·W/fs)).
double centreFrequency(const CoefficientTriple& t) {
    return std::acos(t.b / (2.0 * std::sqrt(-double(t.c)))) / double(singerShared().angleStep);
}
double bandwidthOf(const CoefficientTriple& t) {
    return -std::log(std::sqrt(-double(t.c))) * singerShared().sampleRate / M_PI;
}

TEST(CoefficientSet, EachResonatorTakesItsFrequencyBandwidthLevelAndTheScale) {
    initialisedSinger();
    FormantFrame frame = frameTable()[36];   // "m": every table bandwidth differs
    // L1, L2, L3, L4, LN, LH
    std::ranges::copy(std::to_array<float>({61, 63, 65, 67, 69, 71}), frame.begin() + kF1Level);
    const CoefficientSet plain = setFor(frame), lowered = setFor(frame, 0.5f);
    // Frequency, bandwidth and level of each resonator.
    const double expected[kResonatorCount][3] = {{360, 100, 69},  {480, 40, 61},   {1000, 170, 63},
                                                 {2200, 120, 65}, {3200, 200, 67}, {4000, 500, 71},
                                                 {6000, 800, 71}};
    for (int i = 0; i < kResonatorCount; ++i) {
        const auto& [frequency, bandwidth, level] = expected[i];
        const CoefficientTriple& t = plain.resonators[i];
        EXPECT_NEAR(centreFrequency(t), frequency, 2e-3 * frequency) << i;
        EXPECT_NEAR(bandwidthOf(t), bandwidth, 1e-3 * bandwidth) << i;
        EXPECT_NEAR(t.a / (1.0 - t.b - t.c), std::exp2((level - 70.0) / 6.0), 1e-3) << i;
        // The scale moves every frequency, the fixed ones too, and no bandwidth.
        EXPECT_NEAR(centreFrequency(lowered.resonators[i]), 0.5 * frequency, 1e-3 * frequency) << i;
        EXPECT_EQ(lowered.resonators[i].c, t.c) << i;
    }
    // Levels blend before conversion: 64 and 76 halfway give 70, unity gain.
    FormantFrame loud = frame;
    frame[kVoicingLevel] = 64.0f;
    loud[kVoicingLevel] = 76.0f;
    CoefficientSet middle;
    computeCoefficientSet(frame, loud, 0.5f, 1.0f, middle);
    EXPECT_EQ(middle.voicingGain, 1.0f);
}

// Kept poles give the bits fresh ones give: a glide (some resonators move, the fixed ones
// stay), a steady frame, a frame with other frequencies, the scale and the sample rate
// changing under the same inputs.
TEST(CoefficientSet, KeptPolesGiveTheBitsOfFreshOnes) {
    initialisedSinger();
    std::array<ResonatorPoles, kResonatorCount> poles{};
    const FormantFrame& a = frameTable()[36];
    const FormantFrame& b = frameTable()[12];
    struct Step {
        const FormantFrame* from;
        const FormantFrame* to;
        float weight, scale;
        uint32_t rate;
    };
    const Step steps[] = {{&a, &b, 0.0f, 1.0f, 44100},  {&a, &b, 0.25f, 1.0f, 44100}, {&a, &b, 0.25f, 1.0f, 44100},
                          {&b, &b, 0.0f, 1.0f, 44100},  {&b, &b, 0.0f, 1.0f, 44100},  {&b, &a, 0.5f, 0.75f, 44100},
                          {&b, &a, 0.5f, 0.75f, 32000}, {&b, &a, 0.5f, 0.75f, 44100}, {&a, &a, 1.0f, 1.0f, 44100}};
    for (const Step& step : steps) {
        setSingerSampleRate(step.rate);
        CoefficientSet kept, fresh;
        computeCoefficientSet(*step.from, *step.to, step.weight, step.scale, kept, &poles);
        computeCoefficientSet(*step.from, *step.to, step.weight, step.scale, fresh);
        EXPECT_EQ(std::bit_cast<Coefficients>(kept), std::bit_cast<Coefficients>(fresh))
            << step.weight << " " << step.scale << " " << step.rate;
    }
    setSingerSampleRate(44100);
}

TEST(FormantFilter, RampsLandOnTheTargetAtTheEndOfARender) {
    Singer singer = initialisedSinger();
    const Coefficients target = tableSet(54);
    for (const int n : {1, 37, 128, 280}) {
        singer.filter.current = setFor(frameTable()[4]);
        singer.filter.target = setFor(frameTable()[54]);
        Frames frames(n);
        singer.render(frames.data(), n);
        const Coefficients landed = asArray(singer.filter.current);
        for (int k = 0; k < kCoefficientCount; ++k) {
            EXPECT_NEAR(landed[k], target[k], 2e-5 * std::max(1.0f, std::fabs(target[k])))
                << "n " << n << ", coefficient " << k;
        }
    }
}

// Renders input through fixed coefficients (current == target); the output
// resonator can be silenced, leaving out = −e.
Frames render(const CoefficientSet& set, Frames frames, bool withOutputResonator = true) {
    Singer singer = initialisedSinger();
    if (!withOutputResonator) singerShared().outputTriple = CoefficientTriple{};
    singer.filter.current = singer.filter.target = set;
    singer.render(frames.data(), static_cast<int>(frames.size()));
    singer.initialise();   // restores the shared output triple
    return frames;
}

// Of the second half, once the filter has settled.
double rms(const Frames& f) {
    double sum = 0.0;
    for (size_t i = f.size() / 2; i < f.size(); ++i) sum += f[i].left * f[i].left;
    return std::sqrt(sum / static_cast<double>(f.size() / 2));
}

TEST(FormantFilter, NoiseIsLowPassedWhiteAndItsPathsSoundWithASilentInput) {
    initialisedSinger();  // the frame table
    const Frames silent(8192);
    const FormantFrame silence = frameTable()[kSilenceFrame];
    const double quiet = rms(render(setFor(silence), silent));
    EXPECT_LT(quiet, 1e-5);
    FormantFrame aspirated = silence, fricated = silence, bypassed = silence;
    aspirated[kAspirationLevel] = 60.0f;   // through the nasal and F1 resonators
    aspirated[kF1Level] = 64.0f;
    fricated[kFricationLevel] = 60.0f;     // through F2
    fricated[kF2Level] = 64.0f;
    bypassed[kFricationLevel] = 40.0f;     // around the resonators
    const double closed = rms(render(setFor(bypassed), silent));
    bypassed[kBypassLevel] = 60.0f;
    for (const FormantFrame& loud : {aspirated, fricated, bypassed, frameTable()[54]}) {
        EXPECT_GT(rms(render(setFor(loud), silent)), std::max(1e-3, 1000.0 * quiet));
    }
    EXPECT_GT(rms(render(setFor(bypassed), silent)), 100.0 * closed);

    // white is uniform on [−1, 1) (variance 1/3); lp = white + 0.75·lp has
    // variance (1/3)/(1 − 0.75²) and lag-1 correlation 0.75; noise = lp/4.
    // The moment is raw, so an offset shows in it too.
    FormantFilter filter{};
    double square = 0.0, lagged = 0.0, previous = 0.0;
    for (int i = 0; i < 200000; ++i) {
        const double value = filter.noise();
        square += value * value;
        lagged += value * std::exchange(previous, value);
    }
    EXPECT_NEAR(square / 200000, 0.0625 * (1.0 / 3.0) / (1.0 - 0.5625), 0.002);
    EXPECT_NEAR(lagged / square, 0.75, 0.01);
}

TEST(FormantFilter, ResonatorsEnterWithAlternatingSignsFromTheirSourcesAndTheOutputIsMono) {
    initialisedSinger();  // the frame table
    Frames input(256);
    for (int i = 0; i < 256; ++i) input[i] = {std::sin(0.05f * i + 0.3f), i % 3 ? -0.3f : 0.9f};
    // One resonator passing its input (y = x), or none and the bypass open.
    auto only = [](int resonator, float bypass) {
        CoefficientSet set{.voicingGain = 1.0f, .bypassGain = bypass};
        if (resonator >= 0) set.resonators[resonator] = CoefficientTriple{1.0f, 0.0f, 0.0f};
        return set;
    };
    const auto bypass = render(only(-1, 1.0f), input, false);   // −hp(Δx)
    const auto first = render(only(1, 0.0f), input, false);     // −hp(x)
    EXPECT_EQ(first[0].left, -input[0].left);   // the right input is never read
    // 0 and 1 filter the voiced source itself; 2..6 its difference, with
    // signs +, −, +, −, + against the bypass. Both sides carry the output.
    const float sign[kResonatorCount] = {0, 0, -1, 1, -1, 1, -1};
    for (int r = 0; r < kResonatorCount; ++r) {
        const auto out = render(only(r, 0.0f), input, false);
        for (size_t i = 0; i < input.size(); ++i) {
            EXPECT_EQ(out[i].left, r < 2 ? first[i].left : sign[r] * bypass[i].left)
                << r << ' ' << i;
            EXPECT_EQ(out[i].right, out[i].left) << r << ' ' << i;
        }
    }
    // Two one-pole high-passes (pole 1 − 0.012) undershoot a step once, by
    // e^-2 ≈ 0.135, near 2/0.012 ≈ 167 frames.
    const auto step = render(only(1, 0.0f), Frames(20000, {1.0f, 0.0f}), false);
    const auto peak = std::ranges::max_element(step, {}, &StereoFrame::left);
    EXPECT_NEAR(peak->left, 0.135f, 0.01f);
    EXPECT_NEAR(peak - step.begin(), 167, 10);
    // The bypass sees the difference of the voiced source: a step is one spike.
    const auto spike = render(only(-1, 1.0f), Frames(64, {1.0f, 0.0f}), false);
    EXPECT_EQ(spike[0].left, -1.0f);
    for (size_t i = 1; i < spike.size(); ++i) EXPECT_LT(std::fabs(spike[i].left), 0.05f) << i;
}

class SingerTest : public ::testing::Test {
protected:
    void singLine(const char* line) {
        texts[0] = line;
        singer.setTexts(texts.data());
    }
    Singer singer = initialisedSinger();
    std::array<const char*, 256> texts{};
};

TEST_F(SingerTest, MultipliersDurationsAndTheRepeatingLine) {
    singLine("br4AH");
    // b: frames of duration 12, 1 and 0 (still one step); r: 11; ah: 6 times 4.
    Runs line = {{6, 36, 1}, {7, 3, 1}, {8, 3, 1}, {52, 33, 1}, {60, 72, 4}};
    EXPECT_EQ(sing(singer, 147), line);
    // Without marks the line repeats; after each wrap the first frame is
    // (12 − 1)·3 + 1 control frames long.
    line[0][1] = 34;
    for (int pass = 0; pass < 3; ++pass) EXPECT_EQ(sing(singer, 145), line);
}

TEST_F(SingerTest, MarksPauseUntilTheMatchingNoteEventAndPausedStepsChangeNothing) {
    singLine("!aa_ah");
    EXPECT_TRUE(sing(singer, 10).empty());
    const auto waiting = bytesOf(singer);
    for (int i = 0; i < 50; ++i) singer.step();
    singer.resumeAfterNoteOff();   // the wrong event
    EXPECT_EQ(bytesOf(singer), waiting);

    singer.resumeAfterNoteOn();
    EXPECT_EQ(sing(singer, 100), (Runs{{4, 45, 1}}));
    singer.resumeAfterNoteOff();
    // "ah", then after the wrap one silence frame (1 + 4·3 control frames)
    // before the '!' at the line start is read.
    EXPECT_EQ(sing(singer, 100), (Runs{{60, 18, 1}, {18, 13, 1}}));
    singer.resumeAfterNoteOn();
    sing(singer, 20);
    // A note event without a pending mark changes nothing (so each pause
    // above was released by its own event only).
    const auto running = bytesOf(singer);
    singer.resumeAfterNoteOn();
    singer.resumeAfterNoteOff();
    EXPECT_EQ(bytesOf(singer), running);
}

// Steps through one frame of `length` control frames and checks the gain of
// `resonator`, whose level is frame parameter `level`: the target is the
// current frame moved towards the previous one by w = t^(rank ratio),
// t = (length − k)/length.
void expectGlide(Singer& singer, int length, int resonator, int level) {
    for (int k = 1; k <= length; ++k) {
        singer.step();
        const FormantFrame& current = frameTable()[singer.sequencer.currentFrame];
        const FormantFrame& previous = frameTable()[singer.sequencer.previousFrame];
        const double w = std::pow(double(length - k) / length, previous[kRank] / current[kRank]);
        const double glided = current[level] + (previous[level] - current[level]) * w;
        const double expected = std::exp2((glided - 70.0) / 6.0);
        const CoefficientTriple& t = singer.filter.target.resonators[resonator];
        EXPECT_NEAR(t.a / (1.0 - t.b - t.c), expected, 2e-3 * expected) << "frame " << k;
    }
}

TEST_F(SingerTest, GlidesFollowTheRankCurveAndArriveAtTheFrame) {
    singLine("baaao");
    expectGlide(singer, 36, 1, kF1Level);   // silence (rank 31) to frame 6 (26)
    expectGlide(singer, 3, 2, kF2Level);    // frame 6 to frame 7 (29)
    singer.step();                          // frame 8, duration 0: one step, no fault
    for (const float v : asArray(singer.filter.target)) EXPECT_TRUE(std::isfinite(v));
    sing(singer, 3);
    // Ranks 29 and 2 differ by more than 8: "aa" is entered at once.
    EXPECT_EQ(asArray(singer.filter.target), tableSet(4));
    sing(singer, 44);
    expectGlide(singer, 30, 2, kF2Level);   // equal ranks: a straight line
    EXPECT_EQ(asArray(singer.filter.target), tableSet(5));
}

TEST_F(SingerTest, DigitsBeforeTheEndNeverReadPastItAndNullEntriesAreEmpty) {
    // Whatever follows the NUL must never be sung.
    const char buffer[] = {'a', 'a', '1', '2', '\0', 'a', 'h', '\0'};
    singLine(buffer);
    bool inside = true;
    const Runs runs = sing(singer, 448, [&] {
        const char* at = singer.sequencer.position;
        inside = inside && at >= buffer && at <= buffer + 4;
    });
    // aa, the digits as one silence of 12 · 5 steps, the wrap, the silence.
    EXPECT_EQ(runs, (Runs{{4, 45, 1}, {18, 180, 12}, {4, 43, 1}, {18, 180, 12}}));
    EXPECT_TRUE(inside);
    // Digits before a mark take the mark as their silence: no pause.
    singLine("2!aa");
    EXPECT_EQ(sing(singer, 75), (Runs{{18, 30, 2}, {4, 45, 1}}));

    // A null entry selected is the empty line: silence without end.
    singer.controller(4, 3);   // entry 3 is null
    EXPECT_EQ(sing(singer, 500), (Runs{{18, 500, 1}}));
    // A null entry 0 handed over with the texts halts the sequencer.
    singLine(nullptr);
    const auto halted = bytesOf(singer);
    for (int i = 0; i < 20; ++i) singer.step();
    EXPECT_EQ(bytesOf(singer), halted);
}

TEST_F(SingerTest, ControllerFourSelectsALineKeepingPausesAndHistoriesOrSetsTheSpeed) {
    texts[5] = "ih";
    singLine("aa");
    sing(singer, 10);
    singer.controller(4, 5);
    // The rest of the interrupted frame is silence, then line 5 from its start.
    EXPECT_EQ(sing(singer, 53), (Runs{{18, 35, 1}, {25, 18, 1}}));

    singLine("aa!");
    sing(singer, 200);
    Frames block(128, {0.3f, 0.0f});
    singer.render(block.data(), 128);
    FormantFilter expected = singer.filter;   // with both sets silent, the rest kept
    expected.current = expected.target = setFor(frameTable()[kSilenceFrame]);
    singer.controller(4, 5);
    EXPECT_TRUE(singer.sequencer.noteOnPause);
    EXPECT_EQ(bytesOf(singer.filter), bytesOf(expected));
    singer.resumeAfterNoteOn();
    EXPECT_EQ(sing(singer, 18), (Runs{{25, 18, 1}}));
    EXPECT_EQ(singer.sequencer.previousFrame, kSilenceFrame);

    // From 64 on it sets the speed.
    singer.controller(4, 64);
    singLine("aaao");
    EXPECT_EQ(sing(singer, 25), (Runs{{4, 15, 1}, {5, 10, 1}}));
    singer.controller(4, 127);
    singer.controller(4, 63);   // speed 0 would stall the glide
    singer.controller(6, 0);    // other numbers do nothing
    singLine("aaao");
    EXPECT_EQ(sing(singer, 1600), (Runs{{4, 960, 1}, {5, 640, 1}}));
}

TEST_F(SingerTest, ControllerFiveScalesEveryFormantFromTheNextStepOn) {
    singer.controller(5, 127);
    singer.controller(5, 64);   // back to 1.0
    singLine("aa");   // entered without a glide: the target is frame 4 itself
    singer.step();
    EXPECT_EQ(asArray(singer.filter.target), tableSet(4));
    singer.controller(5, 0);
    EXPECT_FLOAT_EQ(singer.filter.formantScale, std::sqrt(0.5f));
    EXPECT_EQ(asArray(singer.filter.target), tableSet(4));
    singer.step();
    // Every resonator's frequency scales (see the coefficient set's test).
    EXPECT_EQ(asArray(singer.filter.target), tableSet(4, singer.filter.formantScale));
}

}  // namespace
}  // namespace zimblo::speech
