// AudioOutput on the virtual device with a test clock: what the feeder fills,
// when, with which samples, and how it recovers and ends.

#include "output/audio_output.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>

#include "output/output_test_support.h"
#include "output/virtual_ring_device.h"
#include "output/wav_file_sink.h"

namespace zimblo::output {
namespace {

using namespace std::chrono_literals;
using test::patternLeft;

class FeederTest : public ::testing::Test {
protected:
    void SetUp() override {
        device.setClock(&test::TestClock::read, &clock);
        device.setCaptureSink(&sink);
        ASSERT_EQ(output->start(&test::Recorder::render, &recorder, nullptr, &device), kStartSucceeded);
    }
    void TearDown() override { output->stop(); }

    // Moves the clock while no pass runs, then waits for one whole pass that
    // has read the new cursor.
    void advanceTo(uint64_t frames, void (*whileLocked)(VirtualRingDevice&) = nullptr) {
        output->lock();
        clock.setFrames(frames);
        if (whileLocked != nullptr) whileLocked(device);
        const uint32_t reads = device.cursorReads();
        output->unlock();
        output->wake();
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (device.cursorReads() == reads && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        ASSERT_GT(device.cursorReads(), reads) << "no feeder pass";
        output->lock();  // the pass that read the cursor has finished
        output->unlock();
    }

    test::TestClock clock;
    test::MemorySink sink;
    test::Recorder recorder;
    VirtualRingDevice device;
    std::unique_ptr<AudioOutput> output = std::make_unique<AudioOutput>();
};

TEST_F(FeederTest, ASpanBelowEightFramesCallsNoCallback) {
    advanceTo(7);  // 28 bytes: rounds down to the write position 0
    advanceTo(7);
    EXPECT_EQ(recorder.calls, 0u);
    advanceTo(8);
    EXPECT_EQ(recorder.calls, 1u);
    EXPECT_EQ(recorder.lastCount, 8u);
    advanceTo(15);  // 60 bytes rounds to 32, the write position
    EXPECT_EQ(recorder.calls, 1u);
    advanceTo(16);
    EXPECT_EQ(recorder.calls, 2u);
    EXPECT_EQ(recorder.frames, 16u);
}

TEST_F(FeederTest, OneLapOfSilenceThenEveryRenderedFrameInOrder) {
    constexpr uint64_t kStepFrames = 1001;
    constexpr uint64_t kEndFrames = 3 * kRingFrames;
    for (uint64_t frames = kStepFrames; frames < kEndFrames; frames += kStepFrames) {
        advanceTo(frames);
        const int64_t expected = 4 * static_cast<int64_t>(frames) - static_cast<int64_t>(kRingBytes);
        EXPECT_EQ(output->playPosition(), expected) << "at frame " << frames;
        if (frames < kRingFrames) {
            EXPECT_LT(output->playPosition(), 0);
        }
    }
    output->lock();
    const size_t playedFrames = sink.bytes.size() / kFrameBytes;
    ASSERT_GT(playedFrames, 2 * kRingFrames);
    size_t loudBeforeLap = 0;
    for (size_t f = 0; f < kRingFrames; ++f)
        if (sink.sample(2 * f) != 0 || sink.sample(2 * f + 1) != 0) ++loudBeforeLap;
    EXPECT_EQ(loudBeforeLap, 0u);
    // Rendered frame k is heard at frame 16384 + k.
    size_t wrong = 0;
    for (size_t k = 0; kRingFrames + k < playedFrames; ++k) {
        const int16_t left = sink.sample(2 * (kRingFrames + k));
        const int16_t right = sink.sample(2 * (kRingFrames + k) + 1);
        if (left != patternLeft(k) || right != -patternLeft(k)) ++wrong;
    }
    output->unlock();
    EXPECT_EQ(wrong, 0u);
}

TEST_F(FeederTest, AWrappedCursorFillsTwoRegionsFromOneStagingBlock) {
    advanceTo(16000);  // cursor 64000, a multiple of 32
    ASSERT_EQ(recorder.frames, 16000u);
    advanceTo(16500);  // cursor 66000 − 65536 = 464, rounded down to 448
    EXPECT_EQ(recorder.lastCount, (448u + kRingBytes - 64000u) / kFrameBytes);  // 496

    output->lock();
    const RingRegions regions = device.lastLock();
    EXPECT_EQ(regions.first, device.ringBytes() + 64000);
    EXPECT_EQ(regions.firstBytes, kRingBytes - 64000u);
    EXPECT_EQ(regions.second, device.ringBytes());
    EXPECT_EQ(regions.secondBytes, 448u);
    // The first region took frames 16000.., the second continues with the next.
    auto ringLeft = [&](uint32_t offset) {
        int16_t value;
        std::memcpy(&value, device.ringBytes() + offset, 2);
        return value;
    };
    EXPECT_EQ(ringLeft(64000), patternLeft(16000));
    EXPECT_EQ(ringLeft(kRingBytes - 4), patternLeft(16000 + 383));
    EXPECT_EQ(ringLeft(0), patternLeft(16000 + 384));
    EXPECT_EQ(ringLeft(444), patternLeft(16000 + 495));
    output->unlock();
}

TEST_F(FeederTest, ALostRingIsRestoredInTheSamePassAndTheLostSpanIsNeverRendered) {
    advanceTo(1000);
    ASSERT_EQ(recorder.frames, 1000u);

    // Lost at the cursor read: restored, then filled in the same pass.
    advanceTo(3003, [](VirtualRingDevice& d) { d.loseRing(); });
    EXPECT_EQ(device.restoreCount(), 1u);
    EXPECT_EQ(recorder.calls, 2u);
    EXPECT_EQ(recorder.frames, 3000u);  // the cursor 12012 rounds down to 12000

    // Lost at the lock: the span 12000..20000 is given up.
    advanceTo(5000, [](VirtualRingDevice& d) { d.failNextLock(RingStatus::Lost); });
    EXPECT_EQ(device.restoreCount(), 2u);
    EXPECT_EQ(recorder.calls, 2u);
    EXPECT_EQ(recorder.frames, 3000u);

    advanceTo(6000);  // fills 20000..24000 only
    EXPECT_EQ(recorder.calls, 3u);
    EXPECT_EQ(recorder.lastCount, 1000u);
    EXPECT_EQ(recorder.frames, 4000u);
    // The lost span still counts as written, so the position stays exact.
    EXPECT_EQ(output->playPosition(), 4 * 6000 - static_cast<int32_t>(kRingBytes));

    output->lock();
    bool lostSpanUntouched = true;
    for (uint32_t offset = 12000; offset < 20000; ++offset) lostSpanUntouched &= device.ringBytes()[offset] == 0;
    int16_t firstAfter;
    std::memcpy(&firstAfter, device.ringBytes() + 20000, 2);
    output->unlock();
    EXPECT_TRUE(lostSpanUntouched);
    EXPECT_EQ(firstAfter, patternLeft(3000));
}

TEST_F(FeederTest, TheCallbackRunsUnderTheLock) {
    // Held by the owner, the lock keeps every fill out, however much is due.
    output->lock();
    clock.setFrames(4000);
    output->wake();
    std::this_thread::sleep_for(3 * std::chrono::milliseconds(kWakeIntervalMs));
    EXPECT_EQ(recorder.calls, 0u);
    output->unlock();
    advanceTo(4000);
    EXPECT_EQ(recorder.calls, 1u);
}

// Giving up what is queued: the fill comes back to the lead after the cursor,
// so that the render from there on is heard after the lead.
class OutputDiscardTest : public FeederTest {
protected:
    // Every heard frame f below `count` has left = expected(f), right = −left;
    // returns the first that does not, or count.
    template <typename Expected>
    size_t firstWrongHeard(size_t count, Expected expected) {
        output->lock();
        const size_t heard = std::min(count, sink.bytes.size() / kFrameBytes);
        size_t wrong = heard == count ? count : heard;
        for (size_t f = 0; f < heard; ++f) {
            const int16_t left = expected(f);
            if (sink.sample(2 * f) != left || sink.sample(2 * f + 1) != -left) {
                wrong = f;
                break;
            }
        }
        output->unlock();
        return wrong;
    }
    uint32_t discard(uint32_t leadFrames) {
        output->lock();
        const uint32_t frames = output->discardQueued(leadFrames);
        output->unlock();
        return frames;
    }
    // Plays on to `endFrames` in steps, the position exact at each.
    void playOnTo(uint64_t fromFrames, uint64_t endFrames) {
        for (uint64_t frames = fromFrames; frames <= endFrames; frames += 1001) {
            advanceTo(frames);
            EXPECT_EQ(output->playPosition(), 4 * static_cast<int64_t>(frames) - static_cast<int64_t>(kRingBytes))
                << "at frame " << frames;
        }
    }
};

TEST_F(OutputDiscardTest, TheRenderAfterADiscardIsHeardFromTheLeadOnAndNothingBeforeChanges) {
    playOnTo(1000, 19000);
    advanceTo(20000);
    ASSERT_EQ(recorder.frames, 20000u);
    const int32_t before = output->playPosition();
    // A lap is queued; all but the 2048 frames after the cursor are given up.
    EXPECT_EQ(discard(2048), kRingFrames - 2048);
    EXPECT_EQ(output->playPosition(), before);
    // The next pass fills the whole lap but the lead, with no time gone by.
    advanceTo(20000);
    EXPECT_EQ(recorder.frames, 20000u + kRingFrames - 2048);
    EXPECT_EQ(output->playPosition(), before);
    playOnTo(20500, 20000 + 2 * kRingFrames);

    // Rendered frame k was heard at 16384 + k up to 2048 frames after the
    // discard; from there on the render that went on from 20000.
    constexpr size_t kNewFrom = 20000 + 2048;
    const size_t end = 20000 + 2 * kRingFrames - 1001;
    EXPECT_EQ(firstWrongHeard(end, [](size_t f) {
                  if (f < kRingFrames) return int16_t{0};
                  if (f < kNewFrom) return patternLeft(f - kRingFrames);
                  return patternLeft(f - kNewFrom + 20000);
              }),
              end);
}

TEST_F(OutputDiscardTest, TheLeadIsRoundedUpToEightFramesAndCountsFromTheCursor) {
    playOnTo(1000, 19000);
    advanceTo(20003);  // the cursor 80012 − 65536 = 14476; filled up to 14464
    ASSERT_EQ(recorder.frames, 20000u);
    // The lead ends at 14476 + 4000 rounded up to 18496: 1005 frames kept.
    EXPECT_EQ(discard(1000), kRingFrames - 3 - 1005);
    advanceTo(20003);
    playOnTo(20500, 20003 + kRingFrames + 2000);
    constexpr size_t kNewFrom = 20003 + 1005;
    const size_t end = 20003 + kRingFrames + 1000;
    EXPECT_EQ(firstWrongHeard(end, [](size_t f) {
                  if (f < kRingFrames) return int16_t{0};
                  return f < kNewFrom ? patternLeft(f - kRingFrames) : patternLeft(f - kNewFrom + 20000);
              }),
              end);
}

TEST_F(OutputDiscardTest, TheFirstLapsSilenceIsNeverGivenUpAndALongLeadGivesUpNothing) {
    advanceTo(1000);
    EXPECT_EQ(discard(kRingFrames), 0u);
    EXPECT_EQ(discard(0xFFFFFFFFu), 0u);
    // Only the 1000 rendered frames go: the render restarts where they began.
    output->lock();
    EXPECT_EQ(output->discardQueued(0), 1000u);
    EXPECT_EQ(output->discardQueued(0), 0u);
    output->unlock();
    advanceTo(1000);
    EXPECT_EQ(recorder.frames, 2000u);
    playOnTo(1500, kRingFrames + 4000);
    const size_t end = kRingFrames + 3000;
    EXPECT_EQ(firstWrongHeard(end, [](size_t f) {
                  return f < kRingFrames ? int16_t{0} : patternLeft(f - kRingFrames + 1000);
              }),
              end);
}

// A device that can take back only part of what it was asked for.
struct TakesBackLess final : test::ForwardingRingDevice {
    uint32_t takeBack(uint32_t offset) override {
        asked = offset;
        return (offset + extraBytes) % kRingBytes;
    }
    uint32_t extraBytes = 0;
    uint32_t asked = 0;
};

TEST(OutputDiscardDevice, WhatTheDeviceKeepsIsKeptAndTheFillStartsOnTheNextBoundary) {
    test::TestClock clock;
    test::MemorySink sink;
    test::Recorder recorder;
    TakesBackLess device;
    device.inner.setClock(&test::TestClock::read, &clock);
    device.inner.setCaptureSink(&sink);
    auto output = std::make_unique<AudioOutput>();
    ASSERT_EQ(output->start(&test::Recorder::render, &recorder, nullptr, &device), kStartSucceeded);
    bool fed = true;
    for (uint64_t frames = 1000; frames <= 20000 && fed; frames += 1000)
        fed = test::advanceFeeder(*output, clock, frames, [] {});
    EXPECT_TRUE(fed);
    EXPECT_EQ(recorder.frames, 20000u);

    output->lock();
    device.extraBytes = 1000;  // 250 frames, the fill from 256 frames later
    EXPECT_EQ(output->discardQueued(2048), kRingFrames - 2048 - 256);
    EXPECT_EQ(device.asked, (14464u + 2048 * 4) % kRingBytes);
    device.extraBytes = (2048 + 256) * 4;  // nothing taken back at all
    EXPECT_EQ(output->discardQueued(0), 0u);
    output->unlock();
    for (uint64_t frames = 20000; frames <= 20000 + kRingFrames && fed; frames += 1000)
        fed = test::advanceFeeder(*output, clock, frames, [] {});
    fed = fed && test::advanceFeeder(*output, clock, 20000 + kRingFrames, [] {});
    EXPECT_TRUE(fed);
    EXPECT_EQ(output->playPosition(), 4 * static_cast<int32_t>(20000 + kRingFrames) - static_cast<int32_t>(kRingBytes));
    output->lock();
    const size_t newFrom = 20000 + 2048 + 256;
    bool right = sink.bytes.size() / kFrameBytes > newFrom + 1000;
    for (size_t f = kRingFrames; right && f < newFrom + 1000; ++f) {
        const int16_t expected = f < newFrom ? patternLeft(f - kRingFrames) : patternLeft(f - newFrom + 20000);
        right = sink.sample(2 * f) == expected;
    }
    output->unlock();
    EXPECT_TRUE(right);
    output->stop();
}

TEST(OutputConversion, ScalesBy32768RoundsToNearestEvenAndClampsAt32600) {
    auto output = std::make_unique<AudioOutput>();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    const float samples[] = {1.0f,          -1.0f,           0.5f,           0.5f / 32768.0f, nan,
                             1.5f / 32768,  2.5f / 32768,    -0.5f / 32768,  32600.0f / 32768, 32601.0f / 32768,
                             -32601.0f / 32768, 1e10f,       -1e10f,         infinity,        -infinity,
                             -0.0f};
    const int16_t expected[] = {32600, -32600, 16384, 0,      -32600, 2,      2,      0,
                                32600, 32600,  -32600, -32600, -32600, -32600, -32600, 0};
    constexpr size_t kCount = sizeof samples / sizeof samples[0];
    int16_t out[kCount + 1];
    out[kCount] = 0x5A5A;  // past the region: must stay
    output->convert(reinterpret_cast<uint8_t*>(out), kCount * 2, samples);
    for (size_t i = 0; i < kCount; ++i) EXPECT_EQ(out[i], expected[i]) << "sample " << i;
    EXPECT_EQ(out[kCount], 0x5A5A);

    output->setVolume(0.5f);  // gain 16384
    const float loud[] = {1.0f, 3.0f, 1.0f / 32768, 3.0f / 32768};
    int16_t scaled[4];
    output->convert(reinterpret_cast<uint8_t*>(scaled), sizeof scaled, loud);
    EXPECT_EQ(scaled[0], 16384);
    EXPECT_EQ(scaled[1], 32600);
    EXPECT_EQ(scaled[2], 0);  // 0.5 ties to even
    EXPECT_EQ(scaled[3], 2);  // 1.5 ties to even
}

TEST(OutputLifecycle, StopRightAfterStartEndsWithinOnePassAndReleasesTheDevice) {
    test::Recorder recorder;
    VirtualRingDevice device;
    auto output = std::make_unique<AudioOutput>();
    ASSERT_EQ(output->start(&test::Recorder::render, &recorder, nullptr, &device), kStartSucceeded);
    EXPECT_TRUE(device.isOpen());
    EXPECT_TRUE(device.isPlaying());
    const auto before = std::chrono::steady_clock::now();
    output->stop();
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_LT(took, 10 * std::chrono::milliseconds(kWakeIntervalMs));  // far from the 1000 ms limit
    EXPECT_FALSE(device.isOpen());
    EXPECT_FALSE(output->thread.joinable());
    output->stop();  // twice: no harm
    EXPECT_EQ(output->playPosition(), kInitialByteCount);

    // And the same output starts again.
    ASSERT_EQ(output->start(&test::Recorder::render, &recorder, nullptr, &device), kStartSucceeded);
    EXPECT_TRUE(device.isOpen());
    output->stop();
    EXPECT_FALSE(device.isOpen());
}

TEST(OutputLifecycle, ADeviceThatFailsToOpenFailsTheStartWithItsReason) {
    test::Recorder recorder;
    WavFileSink unwritable;
    unwritable.setPath("/nonexistent-directory/capture.wav");
    VirtualRingDevice device;
    device.setCaptureSink(&unwritable);
    auto output = std::make_unique<AudioOutput>();
    EXPECT_EQ(output->start(&test::Recorder::render, &recorder, nullptr, &device), 0u);
    EXPECT_NE(std::string(output->failureReason()).find("cannot create /nonexistent-directory/capture.wav"),
              std::string::npos)
        << output->failureReason();
    EXPECT_FALSE(device.isOpen());
    EXPECT_FALSE(output->thread.joinable());
    output->stop();
    output->stop();
    EXPECT_EQ(recorder.calls, 0u);
}

// The virtual device, but its close waits until the test lets it go, as a
// sound server that has stopped answering would keep it.
struct HangingCloseDevice final : test::ForwardingRingDevice {
    std::atomic<bool> released{false};
    std::atomic<bool> closed{false};
    void close() override {
        while (!released) std::this_thread::sleep_for(1ms);
        inner.close();
        closed = true;
    }
};

TEST(OutputLifecycle, StopIsBoundedWhenTheDeviceNeverClosesAndTheDeviceIsNotReusedMeanwhile) {
    test::Recorder recorder;
    HangingCloseDevice device;
    auto output = std::make_unique<AudioOutput>();
    ASSERT_EQ(output->start(&test::Recorder::render, &recorder, nullptr, &device), kStartSucceeded);
    const auto before = std::chrono::steady_clock::now();
    output->stop();
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_GE(took, std::chrono::milliseconds(kCloseWaitMinimumMs));
    EXPECT_LT(took, std::chrono::milliseconds(kStopWaitMs + kCloseWaitMinimumMs) + 300ms);
    EXPECT_FALSE(device.closed);

    // The abandoned close still holds the device.
    EXPECT_EQ(output->start(&test::Recorder::render, &recorder, nullptr, &device), 0u);
    EXPECT_NE(std::string(output->failureReason()).find("has not finished closing"), std::string::npos);

    device.released = true;
    while (output->closeRunning) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(device.closed);
    device.closed = false;
    ASSERT_EQ(output->start(&test::Recorder::render, &recorder, nullptr, &device), kStartSucceeded);
    output->stop();
    EXPECT_TRUE(device.closed);
}

}  // namespace
}  // namespace zimblo::output
