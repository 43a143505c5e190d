#include "fx/mod_delay.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace zimblo::fx {
namespace {

constexpr int kLine = 2048;
constexpr float kEpsilon = 0x1p-18f;
using Q = std::array<float, 7>;  // mix, feedback, base L, base R, rate, depth, right phase

// A chorus-sized unit with its own lines, or lines placed inside NaN guard zones.
struct TestDelay {
    std::vector<float> storage = std::vector<float>(4 * kLine, std::nanf(""));
    float* left = storage.data() + kLine / 2;
    float* right = storage.data() + 2 * kLine + kLine / 2;
    ModDelay unit;
    explicit TestDelay(const Q& q) {
        unit.setLines(left, right, kLine - 1);
        unit.reset();
        unit.setParams(q.data());
    }
    std::vector<StereoFrame> run(std::vector<StereoFrame> buffer) {
        for (size_t start = 0; start < buffer.size(); start += 128)
            unit.processInsert(buffer.data() + start, std::min<int>(128, buffer.size() - start));
        return buffer;
    }
};

std::vector<StereoFrame> impulse(int frames) {
    std::vector<StereoFrame> signal(frames);
    signal[0] = {1.0f, 1.0f};
    return signal;
}

TEST(ModDelay, ParameterConversions) {
    ModDelay unit = TestDelay({96, 32, 1, 3, 128, 128, 96}).unit;
    EXPECT_TRUE(unit.wet == 0.5f && unit.dry == 0.5f && unit.feedback == -0.5f);
    EXPECT_TRUE(unit.baseL == 8 && unit.baseR == 24 && unit.depth == 1023);
    EXPECT_EQ(unit.inc, 1973916u);        // 20.268 Hz; 1973915.5 rounds to even
    EXPECT_EQ(unit.offsetR, 0x40000000u);  // a quarter cycle
    unit = TestDelay({0, 64, 0, 0, 0, 0, 0}).unit;
    EXPECT_TRUE(unit.wet == -1.0f && unit.dry == 0.0f);
    EXPECT_EQ(unit.inc, 1928u);            // 2^-10 of the top rate, about 0.0198 Hz
    EXPECT_EQ(unit.offsetR, 0x80000000u);  // half a cycle
}

TEST(ModDelay, MixAtSixtyFourTouchesNothing) {
    TestDelay delay({64, 100, 3, 5, 90, 70, 20});
    std::vector<StereoFrame> buffer(128, StereoFrame{0.3f, -0.2f});
    std::vector<float> bus(128, 0.5f);
    delay.unit.processSend(bus.data(), buffer.data(), 128);
    EXPECT_EQ(delay.run(buffer)[7].left, 0.3f);
    EXPECT_EQ(buffer[7].right, -0.2f);
    EXPECT_EQ(delay.unit.phase, 0u);
    EXPECT_EQ(delay.unit.write, 0);
    EXPECT_EQ(delay.left[0], 0.0f);
}

TEST(ModDelay, UnmodulatedDelayAndMix) {
    // Depth 0, base 8 left and 24 right: delays of 7 and 24 frames, inputs + ε.
    std::vector<StereoFrame> input(400);
    for (int i = 0; i < 400; ++i) input[i] = {std::sin(0.07f * i), 0.5f * std::cos(0.13f * i)};
    TestDelay delay({128, 64, 1, 3, 50, 0, 64});
    const auto out = delay.run(input);
    for (int i = 24; i < 400; ++i) {
        EXPECT_NEAR(out[i].left, input[i - 7].left + kEpsilon, 1e-6f) << i;
        EXPECT_NEAR(out[i].right, input[i - 24].right + kEpsilon, 1e-6f) << i;
    }
    EXPECT_EQ(out[6].left, 0.0f);
    // Mix 0: the inverted echo only; mix 96: half dry, half echo; feedback 0.5 repeats.
    const auto inverted = TestDelay({0, 64, 2, 2, 0, 0, 64}).run(impulse(64));
    EXPECT_EQ(inverted[0].left, 0.0f);
    EXPECT_NEAR(inverted[16].right, -1.0f, 1e-5f);
    const auto half = TestDelay({96, 96, 2, 2, 0, 0, 64}).run(impulse(64));
    EXPECT_NEAR(half[0].left, 0.5f, 1e-5f);
    EXPECT_NEAR(half[15].left, 0.5f, 1e-5f);
    EXPECT_NEAR(half[32].right, 0.25f, 1e-5f);
}

TEST(ModDelay, WorkedTicksOfTheTriangle) {
    // Depth 480 (q5 = 60.06), base 0, wet 1, dry 0; a single 1.0 in each line
    // shows the interpolation weight of its slot exactly. Write index 1000.
    const auto tick = [](uint32_t t, int rightSlot, int leftSlot) {
        TestDelay delay({128, 64, 0, 0, 0, 60.06f, 64});
        EXPECT_EQ(delay.unit.depth, 480);
        delay.unit.write = 1000;
        delay.unit.phase = t;
        delay.right[rightSlot] = 1.0f;
        delay.left[leftSlot] = 1.0f;
        StereoFrame frame{};
        delay.unit.processInsert(&frame, 1);
        return frame;
    };
    // t = 2^30: D = 240, f = 0, so only i1 counts (right write − 240, left write − 239).
    EXPECT_EQ(tick(0x40000000u, 760, 761).right, 1.0f);
    EXPECT_EQ(tick(0x40000000u, 760, 761).left, 1.0f);
    EXPECT_EQ(tick(0x40000000u, 759, 760).right, 0.0f);
    // t = 3·2^30: D = 239, f = 8388607/2^23; i1 weighs 1 − f, i0 weighs f.
    EXPECT_EQ(tick(0xC0000000u, 761, 761).right, 0x1p-23f);
    EXPECT_EQ(tick(0xC0000000u, 761, 761).left, 1.0f - 0x1p-23f);
}

TEST(ModDelay, ZeroDelayReadsOneLineLengthBack) {
    const auto out = TestDelay({128, 64, 0, 0, 0, 0, 64}).run(impulse(kLine + 4));
    EXPECT_EQ(out[kLine - 1].right, 0.0f);
    EXPECT_NEAR(out[kLine].right, 1.0f, 1e-5f);
    EXPECT_NEAR(out[kLine - 1].left, 1.0f, 1e-5f);
}

TEST(ModDelay, ReadsStayInsideTheLines) {
    // Raw bytes let base + depth exceed the line; the guard zones around the
    // lines are NaN, so a read outside would poison the output.
    TestDelay extreme({255, 255, 255, 255, 255, 255, 255});
    for (const StereoFrame& frame : extreme.run(std::vector<StereoFrame>(3000, StereoFrame{0.01f, 0.01f})))
        ASSERT_TRUE(std::isfinite(frame.left) && std::isfinite(frame.right));
}

TEST(ModDelay, SendFormAddsWhatTheInsertFormOutputs) {
    const Q q{128, 80, 3, 5, 100, 30, 100};
    std::vector<float> bus(300);
    std::vector<StereoFrame> pair(300);
    for (int i = 0; i < 300; ++i) pair[i] = {bus[i] = 0.3f * std::sin(0.05f * i), bus[i]};
    const auto inserted = TestDelay(q).run(pair);
    TestDelay send(q);
    std::vector<StereoFrame> destination(300, StereoFrame{0.25f, -0.5f});
    send.unit.processSend(bus.data(), destination.data(), 100);
    send.unit.processSend(bus.data() + 100, destination.data() + 100, 200);
    for (int i = 0; i < 300; ++i) {
        EXPECT_EQ(destination[i].left, 0.25f + inserted[i].left) << i;
        EXPECT_EQ(destination[i].right, -0.5f + inserted[i].right) << i;
    }
}

}  // namespace
}  // namespace zimblo::fx
