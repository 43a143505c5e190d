// VirtualRingDevice: a ring device with no hardware behind it, for machines
// without a sound card and for tests.
//
// A software clock plays the ring at exactly 176400 bytes per second:
//   framesPlayed = ⌊t · 44100 / 10^9⌋,  cursor = (4 · framesPlayed) mod 65536,
// with t the clock's nanoseconds since play(). The clock is the steady clock
// unless a test injects its own. Each time the cursor is read, the bytes it
// has passed since the last read are handed to an optional capture sink as
// played (a ring left unfilled for more than a lap is played again, as a
// hardware ring would). Tests can make the ring lost and make locks fail.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "output/ring_device.h"

namespace zimblo::output {

// Where played bytes go, in the order they are played.
class CaptureSink {
public:
    virtual ~CaptureSink() = default;
    // At open; on failure *reason says why and the device does not open.
    virtual bool begin(const char** reason) = 0;
    virtual void played(const uint8_t* bytes, uint32_t count) = 0;
    // At close, after the last bytes.
    virtual void end() = 0;
};

// Nanoseconds from an arbitrary origin; never decreasing.
using NanosecondClock = uint64_t (*)(void* context);

uint64_t steadyClockNanoseconds(void* context);

class VirtualRingDevice final : public RingDevice {
public:
    // Before open. A null clock means the steady clock; a null sink, no capture.
    void setClock(NanosecondClock clock, void* context);
    void setCaptureSink(CaptureSink* sink);

    bool open(void* ownerWindow) override;
    void close() override;
    const char* failureReason() const override;
    RingStatus play() override;
    RingStatus playCursor(uint32_t& cursor) override;
    RingStatus lock(uint32_t offset, uint32_t bytes, RingRegions& regions) override;
    RingStatus unlock(const RingRegions& regions) override;
    RingStatus restore() override;
    // Starts playback as if it had begun at the clock reading `startNanoseconds`.
    RingStatus playSince(uint64_t startNanoseconds);

    // Test controls, under the output's lock while it runs: the ring reports Lost
    // until restored; the next lock reports `status` instead of locking (Lost
    // also loses the ring).
    void loseRing();
    void failNextLock(RingStatus status);
    // The device is gone: the ring is lost and no restore recovers it until the
    // device is opened again; the next `count` opens fail.
    void disconnect(uint32_t failingOpens);

    // Observations.
    bool isOpen() const { return open_.load(); }
    bool isPlaying() const { return playing_; }
    uint32_t cursorReads() const { return cursorReads_.load(); }
    uint32_t restoreCount() const { return restores_.load(); }
    uint32_t lockCount() const { return locks_.load(); }
    uint64_t framesPlayed();
    RingRegions lastLock() const { return lastLock_; }
    const uint8_t* ringBytes() const { return ring_.data(); }

private:
    uint64_t bytesPlayedNow();
    void capture(uint64_t upTo);

    NanosecondClock clock_ = steadyClockNanoseconds;
    void* clockContext_ = nullptr;
    CaptureSink* sink_ = nullptr;
    const char* failure_ = "";

    std::atomic<bool> open_{false};
    bool playing_ = false;
    uint64_t playStart_ = 0;      // clock reading at play()
    uint64_t bytesCaptured_ = 0;  // bytes handed to the sink
    bool lost_ = false;
    bool disconnected_ = false;
    uint32_t failingOpens_ = 0;
    RingStatus nextLockStatus_ = RingStatus::Ok;
    RingRegions lastLock_;
    std::atomic<uint32_t> cursorReads_{0};
    std::atomic<uint32_t> restores_{0};
    std::atomic<uint32_t> locks_{0};

    alignas(64) std::array<uint8_t, kRingBytes> ring_{};
};

}  // namespace zimblo::output
