#include "speech/formant_filter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "dsp/maths.h"
#include "speech/frame_table.h"
#include "speech/shared_values.h"
#include "speech/singer.h"

namespace zimblo::speech {
namespace {

using Coefficients = std::array<float, kCoefficientCount>;

// What a triple does: centre frequency (cos θ = B/2r, r² = −C), bandwidth
// (r = e^(−π·W/fs)) and gain at 0 Hz (A / (1 − B − C)).
double centreFrequency(const CoefficientTriple& t) {
    const double radius = std::sqrt(-static_cast<double>(t.c));
    return std::acos(t.b / (2.0 * radius)) / static_cast<double>(singerShared().angleStep);
}
double bandwidthOf(const CoefficientTriple& t) {
    return -std::log(std::sqrt(-static_cast<double>(t.c))) * singerShared().sampleRate / M_PI;
}
double dcGain(const CoefficientTriple& t) { return t.a / (1.0 - t.b - t.c); }

CoefficientSet setFor(const FormantFrame& frame, float scale = 1.0f) {
    CoefficientSet set;
    computeCoefficientSet(frame, frame, 0.0f, scale, set);
    return set;
}

Singer initialisedSinger() {
    Singer::setSampleRate(44100);
    Singer singer{};
    singer.initialise();
    return singer;
}

TEST(CoefficientSet, EachResonatorTakesItsFrequencyBandwidthLevelAndTheScale) {
    initialisedSinger();
    FormantFrame frame = frameTable()[36];   // "m": every table bandwidth differs
    const float levels[] = {61, 63, 65, 67, 69, 71};   // L1, L2, L3, L4, LN, LH
    std::copy(std::begin(levels), std::end(levels), frame.begin() + kF1Level);
    const CoefficientSet plain = setFor(frame), lowered = setFor(frame, 0.5f);
    const double frequency[kResonatorCount] = {360, 480, 1000, 2200, 3200, 4000, 6000};
    const double bandwidth[kResonatorCount] = {100, 40, 170, 120, 200, 500, 800};
    const double level[kResonatorCount] = {69, 61, 63, 65, 67, 71, 71};
    for (int i = 0; i < kResonatorCount; ++i) {
        const CoefficientTriple& triple = plain.resonators[i];
        EXPECT_NEAR(centreFrequency(triple), frequency[i], 2e-3 * frequency[i]) << i;
        EXPECT_NEAR(bandwidthOf(triple), bandwidth[i], 1e-3 * bandwidth[i]) << i;
        EXPECT_NEAR(dcGain(triple), std::exp2((level[i] - 70.0) / 6.0), 1e-3) << i;
        // The scale moves every frequency, the fixed ones too, and no bandwidth.
        const double halved = centreFrequency(lowered.resonators[i]);
        EXPECT_NEAR(halved, 0.5 * frequency[i], 1e-3 * frequency[i]) << i;
        EXPECT_EQ(lowered.resonators[i].c, triple.c) << i;
    }
    // Levels blend before conversion: 64 and 76 halfway give 70, unity gain.
    FormantFrame soft = frame, loud = frame;
    soft[kVoicingLevel] = 64.0f;
    loud[kVoicingLevel] = 76.0f;
    CoefficientSet middle;
    computeCoefficientSet(soft, loud, 0.5f, 1.0f, middle);
    EXPECT_EQ(middle.voicingGain, 1.0f);
    EXPECT_EQ(levelToGain(76.0f), 2.0f);
    EXPECT_EQ(dsp::power(0.0f, 0.0f), 0.0f);
    EXPECT_EQ(dsp::power(0.0f, -2.0f), 0.0f);
}

TEST(FormantFilter, RampsLandOnTheTargetAtTheEndOfARender) {
    Singer singer = initialisedSinger();
    for (const int n : {1, 37, 128, 280}) {
        singer.filter.current = setFor(frameTable()[4]);
        singer.filter.target = setFor(frameTable()[54]);
        std::vector<StereoFrame> frames(n);
        singer.render(frames.data(), n);
        const auto landed = std::bit_cast<Coefficients>(singer.filter.current);
        const auto target = std::bit_cast<Coefficients>(singer.filter.target);
        for (int k = 0; k < kCoefficientCount; ++k) {
            EXPECT_NEAR(landed[k], target[k], 2e-5 * std::max(1.0f, std::fabs(target[k])))
                << "n " << n << ", coefficient " << k;
        }
    }
    // n = 0 does nothing at all.
    singer.filter.target = setFor(frameTable()[0]);
    const FormantFilter before = singer.filter;
    StereoFrame untouched{0.25f, -0.5f};
    singer.render(&untouched, 0);
    EXPECT_EQ(std::memcmp(&before, &singer.filter, sizeof before), 0);
    EXPECT_EQ(untouched.left, 0.25f);
}

// Renders input through fixed coefficients (current == target); the output
// resonator can be silenced, leaving out = −e.
std::vector<StereoFrame> render(const CoefficientSet& set, std::vector<StereoFrame> frames,
                                bool withOutputResonator = true) {
    Singer singer = initialisedSinger();
    if (!withOutputResonator) singerShared().outputTriple = CoefficientTriple{};
    singer.filter.current = singer.filter.target = set;
    singer.render(frames.data(), static_cast<int>(frames.size()));
    singer.initialise();   // restores the shared output triple
    return frames;
}

double rms(const std::vector<StereoFrame>& frames) {
    double sum = 0.0;
    for (size_t i = frames.size() / 2; i < frames.size(); ++i) {
        sum += frames[i].left * frames[i].left;
    }
    return std::sqrt(sum / static_cast<double>(frames.size() / 2));
}

TEST(FormantFilter, NoisePathsSoundWithASilentInput) {
    initialisedSinger();  // the shared rate values and the frame table
    const std::vector<StereoFrame> silent(8192);
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
}

TEST(FormantFilter, OutputIsMonoAndIgnoresTheRightInput) {
    initialisedSinger();  // the shared rate values and the frame table
    std::vector<StereoFrame> withRight(128), withoutRight(128);
    for (int i = 0; i < 128; ++i) {
        const float x = 0.5f * std::sin(0.07f * static_cast<float>(i));
        withRight[i] = StereoFrame{x, (i % 3 == 0) ? 0.9f : -0.3f};
        withoutRight[i] = StereoFrame{x, 0.0f};
    }
    const CoefficientSet vowel = setFor(frameTable()[0]);
    withRight = render(vowel, withRight);
    withoutRight = render(vowel, withoutRight);
    for (int i = 0; i < 128; ++i) {
        EXPECT_EQ(withRight[i].left, withRight[i].right) << i;
        EXPECT_EQ(withRight[i].left, withoutRight[i].left) << i;
    }
    EXPECT_GT(rms(withRight), 1e-3);
}

TEST(FormantFilter, ResonatorsEnterWithAlternatingSignsFromTheirSources) {
    initialisedSinger();  // the shared rate values and the frame table
    std::vector<StereoFrame> input(256);
    for (size_t i = 0; i < input.size(); ++i) {
        input[i].left = std::sin(0.05f * static_cast<float>(i) + 0.3f);
    }
    const CoefficientTriple pass{1.0f, 0.0f, 0.0f};   // y = x
    auto only = [&](int resonator, float bypass) {
        CoefficientSet set;
        set.voicingGain = 1.0f;
        set.bypassGain = bypass;
        if (resonator >= 0) set.resonators[resonator] = pass;
        return set;
    };
    const auto bypass = render(only(-1, 1.0f), input, false);   // −hp(Δx)
    const auto first = render(only(1, 0.0f), input, false);     // −hp(x)
    EXPECT_GT(rms(bypass), 0.01);
    EXPECT_EQ(first[0].left, -input[0].left);
    // 0 and 1 filter the voiced source itself; 2..6 its difference, with
    // signs +, −, +, −, + against the bypass.
    const float sign[kResonatorCount] = {0, 0, -1, 1, -1, 1, -1};
    for (int r = 0; r < kResonatorCount; ++r) {
        const auto through = render(only(r, 0.0f), input, false);
        for (size_t i = 0; i < input.size(); ++i) {
            EXPECT_EQ(through[i].left, r < 2 ? first[i].left : sign[r] * bypass[i].left)
                << "resonator " << r << ", frame " << i;
        }
    }
    // Two one-pole high-passes (pole 1 − 0.012) undershoot a step once, by
    // e^-2 ≈ 0.135, near 2/0.012 ≈ 167 frames, and then settle.
    const auto step = render(only(1, 0.0f), std::vector<StereoFrame>(20000, {1.0f, 0.0f}), false);
    const auto peak = std::max_element(step.begin(), step.end(),
                                       [](auto a, auto b) { return a.left < b.left; });
    EXPECT_NEAR(peak->left, 0.135f, 0.01f);
    EXPECT_NEAR(peak - step.begin(), 167, 10);
    EXPECT_LT(std::fabs(step.back().left), 1e-3f);
    // The bypass sees the difference of the voiced source: a step is one spike.
    const auto spike = render(only(-1, 1.0f), std::vector<StereoFrame>(64, {1.0f, 0.0f}), false);
    EXPECT_EQ(spike[0].left, -1.0f);
    for (size_t i = 1; i < spike.size(); ++i) EXPECT_LT(std::fabs(spike[i].left), 0.05f) << i;
}

TEST(FormantFilter, NoiseIsCentredAndLowPassedWithPoleThreeQuarters) {
    FormantFilter filter{};
    constexpr int kCount = 200000;
    double sum = 0.0, square = 0.0, lagged = 0.0, previous = 0.0;
    for (int i = 0; i < kCount; ++i) {
        const double value = filter.noise();
        sum += value;
        square += value * value;
        lagged += value * previous;
        previous = value;
    }
    // white is uniform on [−1, 1) (variance 1/3); lp = white + 0.75·lp has
    // variance (1/3)/(1 − 0.75²) and lag-1 correlation 0.75; noise = lp/4.
    EXPECT_NEAR(sum / kCount, 0.0, 0.01);
    EXPECT_NEAR(square / kCount, 0.0625 * (1.0 / 3.0) / (1.0 - 0.5625), 0.002);
    EXPECT_NEAR(lagged / square, 0.75, 0.01);
}

}  // namespace
}  // namespace zimblo::speech
