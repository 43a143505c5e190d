#include "speech/singer.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "speech/frame_table.h"
#include "speech/phoneme_table.h"
#include "speech/shared_values.h"

namespace zimblo::speech {
namespace {

// A stretch of control frames during which one formant frame was current.
struct FrameRun {
    int frame;
    int controlFrames;
    int multiplier;
    bool operator==(const FrameRun&) const = default;
};
using Runs = std::vector<FrameRun>;

std::ostream& operator<<(std::ostream& out, const FrameRun& run) {
    return out << "{frame " << run.frame << ", " << run.controlFrames << " x" << run.multiplier
               << "}";
}

bool paused(const Singer& s) { return s.sequencer.noteOnPause || s.sequencer.noteOffPause; }

// Steps until a pause mark is read (that step is not counted) or maxSteps have
// run. Adjacent frames must differ to be told apart.
Runs sing(Singer& singer, int maxSteps, const std::function<void()>& afterStep = [] {}) {
    Runs runs;
    for (int i = 0; i < maxSteps; ++i) {
        singer.step();
        afterStep();
        if (paused(singer)) break;
        const int frame = singer.sequencer.currentFrame;
        if (runs.empty() || runs.back().frame != frame) {
            runs.push_back(FrameRun{frame, 0, singer.sequencer.multiplier});
        }
        runs.back().controlFrames += 1;
    }
    return runs;
}

using Bytes = std::array<unsigned char, sizeof(Singer)>;
Bytes bytesOf(const Singer& singer) {
    Bytes bytes;
    std::memcpy(bytes.data(), &singer, sizeof singer);
    return bytes;
}

bool sameSet(const CoefficientSet& a, const CoefficientSet& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

CoefficientSet setFor(int frame) {
    CoefficientSet set;
    computeCoefficientSet(frameTable()[frame], frameTable()[frame], 0.0f, 1.0f, set);
    return set;
}

class SingerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Singer::setSampleRate(44100);
        singer.initialise();
    }
    void singLine(const char* line) {
        texts[0] = line;
        singer.setTexts(texts.data());
    }
    Singer singer{};
    std::array<const char*, 256> texts{};
};

TEST_F(SingerTest, MultipliersDurationsAndTheRepeatingLine) {
    singLine("br4AH");
    // b: frames of duration 12, 1 and 0 (still one step); r: 11; ah: 6 times 4.
    EXPECT_EQ(sing(singer, 147),
              (Runs{{6, 36, 1}, {7, 3, 1}, {8, 3, 1}, {52, 33, 1}, {60, 72, 4}}));
    // Without marks the line repeats; after each wrap the first frame is
    // (12 − 1)·3 + 1 control frames long.
    for (int pass = 0; pass < 3; ++pass) {
        EXPECT_EQ(sing(singer, 145),
                  (Runs{{6, 34, 1}, {7, 3, 1}, {8, 3, 1}, {52, 33, 1}, {60, 72, 4}}));
    }
    EXPECT_FALSE(paused(singer));
}

TEST_F(SingerTest, MarksPauseUntilTheMatchingNoteEventAndPausedStepsChangeNothing) {
    singLine("!aa_ah");
    EXPECT_TRUE(sing(singer, 10).empty());
    EXPECT_TRUE(singer.sequencer.noteOnPause);
    const Bytes waiting = bytesOf(singer);
    for (int i = 0; i < 50; ++i) singer.step();
    singer.resumeAfterNoteOff();   // the wrong event
    EXPECT_EQ(bytesOf(singer), waiting);

    singer.resumeAfterNoteOn();
    EXPECT_EQ(sing(singer, 100), (Runs{{4, 45, 1}}));
    EXPECT_TRUE(singer.sequencer.noteOffPause);
    singer.resumeAfterNoteOff();
    // "ah", then after the wrap one silence frame (1 + 4·3 control frames)
    // before the '!' at the line start is read.
    EXPECT_EQ(sing(singer, 100), (Runs{{60, 18, 1}, {18, 13, 1}}));
    EXPECT_TRUE(singer.sequencer.noteOnPause);
    singer.resumeAfterNoteOn();
    sing(singer, 20);
    // A note event without a pending mark changes nothing.
    const Bytes running = bytesOf(singer);
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
        const double w = std::pow(static_cast<double>(length - k) / length,
                                  static_cast<double>(previous[kRank]) / current[kRank]);
        const double expected =
            std::exp2((current[level] + (previous[level] - current[level]) * w - 70.0) / 6.0);
        const CoefficientTriple& t = singer.filter.target.resonators[resonator];
        EXPECT_NEAR(t.a / (1.0 - t.b - t.c), expected, 2e-3 * expected) << "frame " << k;
    }
}

TEST_F(SingerTest, GlidesFollowTheRankCurveAndArriveAtTheFrame) {
    singLine("baaao");
    expectGlide(singer, 36, 1, kF1Level);   // silence (rank 31) to frame 6 (26)
    expectGlide(singer, 3, 2, kF2Level);    // frame 6 to frame 7 (29)
    singer.step();                          // frame 8, duration 0: one step, no fault
    using Coefficients = std::array<float, kCoefficientCount>;
    for (const float v : std::bit_cast<Coefficients>(singer.filter.target)) {
        EXPECT_TRUE(std::isfinite(v));
    }
    sing(singer, 3);
    // Ranks 29 and 2 differ by more than 8: "aa" is entered at once.
    ASSERT_EQ(singer.sequencer.currentFrame, 4);
    EXPECT_TRUE(sameSet(singer.filter.target, setFor(4)));
    sing(singer, 44);
    expectGlide(singer, 30, 2, kF2Level);   // equal ranks: a straight line
    EXPECT_TRUE(sameSet(singer.filter.target, setFor(5)));
}

TEST_F(SingerTest, DigitsBeforeTheEndNeverReadPastItAndNullEntriesAreEmpty) {
    // Whatever follows the NUL must never be sung.
    const char buffer[] = {'a', 'a', '1', '2', '\0', 'a', 'h', '\0'};
    singLine(buffer);
    bool inside = true;
    const Runs runs = sing(singer, 448, [&] {
        const char* position = singer.sequencer.position;
        inside = inside && position >= buffer && position <= buffer + 4;
    });
    // aa, the digits as one silence of 12 · 5 steps, the wrap, the silence.
    EXPECT_EQ(runs, (Runs{{4, 45, 1}, {18, 180, 12}, {4, 43, 1}, {18, 180, 12}}));
    EXPECT_TRUE(inside);
    // Digits before a mark take the mark as their silence: no pause.
    singLine("2!aa");
    EXPECT_EQ(sing(singer, 75), (Runs{{18, 30, 2}, {4, 45, 1}}));

    // A null entry selected is the empty line: silence without end.
    texts[3] = nullptr;
    singer.controller(4, 3);
    ASSERT_NE(singer.sequencer.lineStart, nullptr);
    EXPECT_EQ(*singer.sequencer.lineStart, '\0');
    EXPECT_EQ(sing(singer, 500), (Runs{{18, 500, 1}}));
    // A null entry 0 handed over with the texts halts the sequencer.
    singLine(nullptr);
    const Bytes halted = bytesOf(singer);
    for (int i = 0; i < 20; ++i) singer.step();
    EXPECT_EQ(bytesOf(singer), halted);
}

TEST_F(SingerTest, ControllerFourSelectsALineFromSilenceKeepingPausesAndHistories) {
    texts[5] = "ih";
    singLine("aa");
    sing(singer, 10);
    singer.controller(4, 5);
    EXPECT_EQ(singer.sequencer.currentFrame, kSilenceFrame);
    EXPECT_TRUE(sameSet(singer.filter.target, setFor(kSilenceFrame)));
    // The rest of the interrupted frame is silence, then line 5 from its start.
    EXPECT_EQ(sing(singer, 53), (Runs{{18, 35, 1}, {25, 18, 1}}));

    singLine("aa!");
    sing(singer, 200);
    std::vector<StereoFrame> block(128, StereoFrame{0.3f, 0.0f});
    singer.render(block.data(), 128);
    const FormantFilter before = singer.filter;
    singer.controller(4, 5);
    EXPECT_TRUE(singer.sequencer.noteOnPause);
    EXPECT_EQ(std::memcmp(&singer.filter.resonators, &before.resonators,
                          sizeof before.resonators),
              0);
    EXPECT_EQ(singer.filter.noiseSeed, before.noiseSeed);
    EXPECT_EQ(singer.filter.highpass2, before.highpass2);
    singer.resumeAfterNoteOn();
    EXPECT_EQ(sing(singer, 18), (Runs{{25, 18, 1}}));
    EXPECT_EQ(singer.sequencer.previousFrame, kSilenceFrame);
}

TEST_F(SingerTest, ControllerFourSetsSpeedsAndIgnoresSixtyThree) {
    EXPECT_EQ(singer.sequencer.speed, 3);
    singer.controller(4, 64);
    singLine("aaao");
    EXPECT_EQ(sing(singer, 25), (Runs{{4, 15, 1}, {5, 10, 1}}));
    singer.controller(4, 127);
    singer.controller(4, 63);   // speed 0 would stall the glide
    singer.controller(6, 0);    // other numbers do nothing
    EXPECT_EQ(singer.sequencer.speed, 64);
    singLine("aaao");
    EXPECT_EQ(sing(singer, 1600), (Runs{{4, 960, 1}, {5, 640, 1}}));
}

TEST_F(SingerTest, ControllerFiveScalesEveryFormantFromTheNextStepOn) {
    EXPECT_EQ(singer.filter.formantScale, 1.0f);
    singer.controller(5, 127);
    EXPECT_FLOAT_EQ(singer.filter.formantScale, std::exp2(63.0f / 128.0f));
    singer.controller(5, 64);
    EXPECT_EQ(singer.filter.formantScale, 1.0f);

    singLine("aa");   // entered without a glide: the target is frame 4 itself
    singer.step();
    const CoefficientSet plain = singer.filter.target;
    singer.controller(5, 0);
    EXPECT_FLOAT_EQ(singer.filter.formantScale, std::sqrt(0.5f));
    EXPECT_TRUE(sameSet(plain, singer.filter.target));
    singer.step();
    auto frequency = [](const CoefficientTriple& t) {
        return std::acos(t.b / (2.0 * std::sqrt(-static_cast<double>(t.c))));
    };
    for (int i = 0; i < kResonatorCount; ++i) {
        EXPECT_NEAR(frequency(singer.filter.target.resonators[i]) / frequency(plain.resonators[i]),
                    std::sqrt(0.5), 2e-3)
            << "resonator " << i;
    }
}

}  // namespace
}  // namespace zimblo::speech
