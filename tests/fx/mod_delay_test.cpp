#include "fx/mod_delay.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

namespace zimblo::fx {
namespace {

constexpr int kLine = 2048;
using Q = std::array<float, 7>;  // mix, feedback, base L, base R, rate, depth, right phase
using Signal = std::vector<StereoFrame>;

// A chorus-sized unit whose lines sit inside NaN guard zones.
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
    Signal run(Signal buffer) {
        for (size_t start = 0; start < buffer.size(); start += 128)
            unit.processInsert(buffer.data() + start, std::min<int>(128, buffer.size() - start));
        return buffer;
    }
};

Signal impulse(int frames) {
    Signal signal(frames);
    signal[0] = {1.0f, 1.0f};
    return signal;
}

TEST(ModDelay, ParameterConversions) {
    ModDelay u = TestDelay({96, 32, 1, 3, 128, 128, 96}).unit;
    EXPECT_TRUE(u.wet == 0.5f && u.dry == 0.5f && u.feedback == -0.5f && u.baseL == 8 && u.baseR == 24);
    // 20.268 Hz (1973915.5 rounds to even), full depth, a quarter cycle apart.
    EXPECT_TRUE(u.inc == 1973916u && u.depth == 1023 && u.offsetR == 0x40000000u);
    u = TestDelay({0, 64, 0, 0, 0, 0, 0}).unit;
    // 2^-10 of the top rate (about 0.0198 Hz), half a cycle apart.
    EXPECT_TRUE(u.wet == -1.0f && u.dry == 0.0f && u.inc == 1928u && u.offsetR == 0x80000000u);
}

TEST(ModDelay, MixAtSixtyFourTouchesNothing) {
    TestDelay delay({64, 100, 3, 5, 90, 70, 20});
    Signal buffer(128, StereoFrame{0.3f, -0.2f});
    std::vector<float> bus(128, 0.5f);
    delay.unit.processSend(bus.data(), buffer.data(), 128);
    buffer = delay.run(buffer);
    EXPECT_TRUE(buffer[7].left == 0.3f && buffer[7].right == -0.2f);
    EXPECT_TRUE(delay.unit.phase == 0u && delay.unit.write == 0 && delay.left[0] == 0.0f);
}

TEST(ModDelay, UnmodulatedDelaysAndMix) {
    // Depth 0: the right side delays by the base, the left by one frame less;
    // base 0 reads a whole line back.
    const struct { float qL, qR; int left, right; } cases[] = {{1, 3, 7, 24}, {0, 0, kLine - 1, kLine}};
    for (const auto& c : cases) {
        const Signal out = TestDelay({128, 64, c.qL, c.qR, 50, 0, 64}).run(impulse(kLine + 4));
        EXPECT_TRUE(out[c.left - 1].left == 0.0f && out[c.right - 1].right == 0.0f) << c.right;
        EXPECT_TRUE(out[c.left].left == 1.0f + 0x1p-18f && out[c.right].right == 1.0f + 0x1p-18f) << c.right;  // + ε
    }
    // Mix 0: the inverted echo only; mix 96: half dry, half echo; feedback 0.5 repeats.
    const Signal inverted = TestDelay({0, 64, 2, 2, 0, 0, 64}).run(impulse(64));
    EXPECT_EQ(inverted[0].left, 0.0f);
    EXPECT_NEAR(inverted[16].right, -1.0f, 1e-5f);
    const Signal half = TestDelay({96, 96, 2, 2, 0, 0, 64}).run(impulse(64));
    for (float value : {half[0].left, half[15].left, 2 * half[32].right}) EXPECT_NEAR(value, 0.5f, 1e-5f);
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
    const StereoFrame quarter = tick(0x40000000u, 760, 761);
    EXPECT_TRUE(quarter.right == 1.0f && quarter.left == 1.0f);
    EXPECT_EQ(tick(0x40000000u, 759, 760).right, 0.0f);
    // t = 3·2^30: D = 239, f = 8388607/2^23; i1 weighs 1 − f, i0 weighs f.
    const StereoFrame falling = tick(0xC0000000u, 761, 761);
    EXPECT_EQ(falling.right, 0x1p-23f);
    EXPECT_EQ(falling.left, 1.0f - 0x1p-23f);
}

TEST(ModDelay, ReadsStayInsideTheLines) {
    // Raw bytes let base + depth exceed the line; a read into the NaN guard
    // zones would poison the output.
    TestDelay extreme({255, 255, 255, 255, 255, 255, 255});
    for (const StereoFrame& frame : extreme.run(Signal(3000, StereoFrame{0.01f, 0.01f})))
        ASSERT_TRUE(std::isfinite(frame.left) && std::isfinite(frame.right));
}

TEST(ModDelay, SendFormAddsWhatTheInsertFormOutputs) {
    const Q q{128, 80, 3, 5, 100, 30, 100};
    std::vector<float> bus(300);
    Signal pair(300);
    for (int i = 0; i < 300; ++i) pair[i] = {bus[i] = 0.3f * std::sin(0.05f * i), bus[i]};
    const Signal inserted = TestDelay(q).run(pair);
    TestDelay send(q);
    Signal destination(300, StereoFrame{0.25f, -0.5f});
    send.unit.processSend(bus.data(), destination.data(), 100);  // split unlike the 128s above
    send.unit.processSend(bus.data() + 100, destination.data() + 100, 200);
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(destination[i].left, 0.25f + inserted[i].left) << i;
        ASSERT_EQ(destination[i].right, -0.5f + inserted[i].right) << i;
    }
}

}  // namespace
}  // namespace zimblo::fx
