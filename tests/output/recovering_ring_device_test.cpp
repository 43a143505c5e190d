// Recovery from a lost device, through the output and its feeder, with an
// injected device and one test clock for the device, the stand-in and the
// retries.

#include "output/recovering_ring_device.h"

#include <gtest/gtest.h>

#include <memory>

#include "output/audio_output.h"
#include "output/output_test_support.h"

namespace zimblo::output {
namespace {

constexpr uint64_t kFramesPerRetry = kRetryIntervalMs * kSampleRate / 1000;

// The frames filled by the time the cursor is at `frames`: whole 8-frame steps.
uint64_t filled(uint64_t frames) { return frames / 8 * 8; }


// A device that takes back all but 64 bytes of what it is asked for.
struct KeepsSome final : test::ForwardingRingDevice {
    uint32_t takeBack(uint32_t offset) override {
        ++asked;
        return (offset + 64) % kRingBytes;
    }
    int asked = 0;
};

TEST(RecoveryTakeBack, GoesToThePlayingDeviceAndNotToTheStandIn) {
    test::TestClock clock;
    KeepsSome keeping;
    keeping.inner.setClock(&test::TestClock::read, &clock);
    RecoveringRingDevice recovering;
    recovering.setDevice(&keeping);
    recovering.setClock(&test::TestClock::read, &clock);
    test::ReportedLines reported;
    recovering.setReport(OutputReport{&test::ReportedLines::add, &reported});
    ASSERT_TRUE(recovering.open(nullptr));
    ASSERT_EQ(recovering.play(), RingStatus::Ok);
    EXPECT_EQ(recovering.takeBack(kRingBytes - 32), 32u);
    EXPECT_EQ(keeping.asked, 1);

    keeping.inner.disconnect(1);
    uint32_t cursor = 0;
    for (int i = 0; i < 40 && recovering.state() == RecoveryState::Playing; ++i) {
        if (recovering.playCursor(cursor) == RingStatus::Lost) recovering.restore();
    }
    ASSERT_NE(recovering.state(), RecoveryState::Playing);
    EXPECT_EQ(recovering.takeBack(4096), 4096u);
    EXPECT_EQ(keeping.asked, 1);
    recovering.close();
}

class RecoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        device.setClock(&test::TestClock::read, &clock);
        device.setCaptureSink(&heard);
        recovering.setDevice(&device);
        recovering.setClock(&test::TestClock::read, &clock);
        recovering.setReport(OutputReport{&test::ReportedLines::add, &reported});
        ASSERT_EQ(output->start(&test::Recorder::render, &recorder, nullptr, &recovering), kStartSucceeded);
    }
    void TearDown() override { output->stop(); }

    void advanceTo(uint64_t frames, void (*whileLocked)(VirtualRingDevice&) = nullptr) {
        ASSERT_TRUE(test::advanceFeeder(*output, clock, frames, [&] {
            if (whileLocked != nullptr) whileLocked(device);
        })) << "no feeder pass";
    }
    // Lines and state read under the output's lock: the feeder writes them.
    std::vector<std::string> lines() {
        output->lock();
        const auto copy = reported.lines;
        output->unlock();
        return copy;
    }

    test::TestClock clock;
    test::MemorySink heard;  // what the device behind plays, since its last open
    test::Recorder recorder;
    test::ReportedLines reported;
    VirtualRingDevice device;
    RecoveringRingDevice recovering;
    std::unique_ptr<AudioOutput> output = std::make_unique<AudioOutput>();
};

TEST_F(RecoveryTest, ALostDeviceIsStoodInForOnTheClockRetriedEverySecondAndResumedWhereTheClockGot) {
    advanceTo(1000);
    EXPECT_EQ(recorder.frames, 1000u);

    // Gone at 3000 frames for good: two opens fail, the third succeeds.
    constexpr uint64_t kLostAt = 3000;
    advanceTo(kLostAt, [](VirtualRingDevice& d) { d.disconnect(2); });
    EXPECT_EQ(recovering.state(), RecoveryState::Lost);
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_EQ(lines()[0], "sound device lost: the device is disconnected, retrying");
    EXPECT_EQ(recorder.frames, kLostAt);  // the fill went on, from the stand-in

    // The software clock keeps the song moving; no retry before a second.
    uint64_t now = kLostAt;
    for (; now + 15000 < kLostAt + kFramesPerRetry; now += 15000) advanceTo(now + 15000);
    EXPECT_EQ(recorder.frames, filled(now));
    EXPECT_EQ(recovering.failedRetries(), 0u);
    EXPECT_EQ(recovering.state(), RecoveryState::Lost);

    // A failed retry a second after the loss, and another one a second later.
    for (uint32_t retry = 1; retry <= 2; ++retry) {
        const uint64_t due = kLostAt + retry * kFramesPerRetry;
        for (; now + 15000 < due; now += 15000) advanceTo(now + 15000);
        advanceTo(now = due);
        EXPECT_EQ(recovering.failedRetries(), retry);
        EXPECT_EQ(recovering.state(), RecoveryState::Lost);
        EXPECT_EQ(recorder.frames, filled(now));
    }
    EXPECT_EQ(lines().size(), 1u);  // said once

    // Reopened on the third try; back once the device's cursor moves, and
    // the feeder goes on without a gap.
    const uint64_t reopenedAt = kLostAt + 3 * kFramesPerRetry;
    for (; now + 15000 < reopenedAt; now += 15000) advanceTo(now + 15000);
    advanceTo(now = reopenedAt);
    EXPECT_EQ(recovering.state(), RecoveryState::Back);
    EXPECT_EQ(lines().size(), 1u);
    advanceTo(now += 6000);
    EXPECT_EQ(recovering.state(), RecoveryState::Playing);
    ASSERT_EQ(lines().size(), 2u);
    EXPECT_EQ(lines()[1], "sound device back");
    EXPECT_EQ(recorder.frames, filled(now));

    // What the reopened device plays: silence, then the song where it would
    // be had nothing happened: frame k is heard one lap after k.
    for (int step = 0; step < 4; ++step) advanceTo(now += 12000);
    output->lock();
    const std::vector<uint8_t> played = heard.bytes;
    output->unlock();
    ASSERT_EQ(played.size(), (now - reopenedAt) * kFrameBytes);
    size_t first = 0;
    while (first < played.size() / kFrameBytes && heard.sample(2 * first) == 0 && heard.sample(2 * first + 1) == 0)
        ++first;
    EXPECT_GT(first, kRingFrames / 2);
    ASSERT_LT(first, kRingFrames + 6000u) << "the song did not come back after one lap";
    size_t wrong = 0;
    for (size_t i = first; i < played.size() / kFrameBytes; ++i)
        if (heard.sample(2 * i) != test::patternLeft(reopenedAt + i - kRingFrames)) ++wrong;
    EXPECT_EQ(wrong, 0u);
}

TEST_F(RecoveryTest, ADeviceLostAgainBeforeItPlaysIsRetriedQuietly) {
    advanceTo(1000, [](VirtualRingDevice& d) { d.disconnect(0); });
    const uint64_t reopenedAt = 1000 + kFramesPerRetry;
    advanceTo(reopenedAt);
    ASSERT_EQ(recovering.state(), RecoveryState::Back);
    // Lost again before it played: quietly retried a second later.
    advanceTo(reopenedAt + 100, [](VirtualRingDevice& d) { d.disconnect(0); });
    EXPECT_EQ(recovering.state(), RecoveryState::Lost);
    EXPECT_EQ(recovering.failedRetries(), 1u);
    EXPECT_EQ(lines().size(), 1u);
    advanceTo(reopenedAt + 100 + kFramesPerRetry);
    EXPECT_EQ(recovering.state(), RecoveryState::Back);
}

TEST_F(RecoveryTest, ARecoverableLossStaysWithTheDeviceAndEndlessLossesCountAsGone) {
    advanceTo(1000, [](VirtualRingDevice& d) { d.loseRing(); });
    EXPECT_EQ(device.restoreCount(), 1u);
    EXPECT_EQ(recovering.state(), RecoveryState::Playing);
    EXPECT_TRUE(lines().empty());

    // Lost at every lock: the feeder's restores pile up with no fill between.
    for (uint64_t frames = 2000; recovering.state() == RecoveryState::Playing && frames < 60000; frames += 1000)
        advanceTo(frames, [](VirtualRingDevice& d) { d.failNextLock(RingStatus::Lost); });
    EXPECT_EQ(recovering.state(), RecoveryState::Lost);
    EXPECT_GE(device.restoreCount(), kRestoresBeforeLoss);
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_NE(lines()[0].find("lost again after every restore"), std::string::npos);
}

TEST_F(RecoveryTest, StopWhileLostClosesTheDeviceAndTheStandIn) {
    advanceTo(1000, [](VirtualRingDevice& d) { d.disconnect(0); });
    ASSERT_EQ(recovering.state(), RecoveryState::Lost);
    output->stop();
    EXPECT_FALSE(device.isOpen());
    EXPECT_EQ(recovering.state(), RecoveryState::Playing);
    ASSERT_EQ(output->start(&test::Recorder::render, &recorder, nullptr, &recovering), kStartSucceeded);
    EXPECT_TRUE(device.isOpen());
}

}  // namespace
}  // namespace zimblo::output
