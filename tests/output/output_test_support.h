// A test clock, a forwarding device, a capture sink in memory, and a recording render
// callback for the output tests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dsp/stereo_frame.h"
#include "output/audio_output.h"
#include "output/ring_device.h"
#include "output/virtual_ring_device.h"

namespace zimblo::output::test {

// A device that passes the ring calls to the virtual device it owns (service and takeBack
// keep the base's defaults): a test derives from it and changes the calls it is about.
struct ForwardingRingDevice : RingDevice {
    VirtualRingDevice inner;
    bool open(void* window) override { return inner.open(window); }
    void close() override { inner.close(); }
    const char* failureReason() const override { return inner.failureReason(); }
    RingStatus play() override { return inner.play(); }
    RingStatus playCursor(uint32_t& cursor) override { return inner.playCursor(cursor); }
    RingStatus lock(uint32_t offset, uint32_t bytes, RingRegions& regions) override {
        return inner.lock(offset, bytes, regions);
    }
    RingStatus unlock(const RingRegions& regions) override { return inner.unlock(regions); }
    RingStatus restore() override { return inner.restore(); }
};

// Nanoseconds set by the test; framesPlayed follows exactly.
struct TestClock {
    std::atomic<uint64_t> nanoseconds{0};
    static uint64_t read(void* context) { return static_cast<TestClock*>(context)->nanoseconds.load(); }
    // The earliest instant at which exactly `frames` frames have been played.
    void setFrames(uint64_t frames) {
        nanoseconds = (frames * 1000000000u + kSampleRate - 1) / kSampleRate;
    }
};

struct MemorySink final : CaptureSink {
    std::vector<uint8_t> bytes;
    bool begin(const char**) override {
        bytes.clear();
        return true;
    }
    void played(const uint8_t* data, uint32_t count) override { bytes.insert(bytes.end(), data, data + count); }
    void end() override {}
    int16_t sample(size_t index) const {
        int16_t value;
        std::memcpy(&value, &bytes[2 * index], 2);
        return value;
    }
};

// The k-th frame any call renders: left = (k mod 2001 − 1000) / 32768,
// right = −left, both exact in 16 bits at full volume.
inline int16_t patternLeft(uint64_t k) { return static_cast<int16_t>(static_cast<int64_t>(k % 2001) - 1000); }

struct Recorder {
    std::atomic<uint32_t> calls{0};
    std::atomic<uint64_t> frames{0};
    std::atomic<uint32_t> lastCount{0};

    static void render(void* context, StereoFrame* out, uint32_t count) {
        auto* self = static_cast<Recorder*>(context);
        const uint64_t first = self->frames.load();
        for (uint32_t i = 0; i < count; ++i) {
            const float left = static_cast<float>(patternLeft(first + i)) / 32768.0f;
            out[i] = StereoFrame{left, -left};
        }
        self->frames += count;
        self->lastCount = count;
        self->calls += 1;
    }
};

// Sets the clock to `frames` under the output's lock, runs `whileLocked`
// there, then waits for two whole feeder passes: the second one saw the new
// time from its start, its service call included. False if none came.
template <typename Action>
bool advanceFeeder(AudioOutput& output, TestClock& clock, uint64_t frames, Action whileLocked) {
    output.lock();
    clock.setFrames(frames);
    whileLocked();
    const uint64_t passes = output.passCount.load();
    output.unlock();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (output.passCount.load() < passes + 2) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        output.wake();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The lines an output layer reports, kept.
struct ReportedLines {
    std::vector<std::string> lines;
    static void add(void* context, const char* line) { static_cast<ReportedLines*>(context)->lines.push_back(line); }
};

}  // namespace zimblo::output::test
