// RecoveringRingDevice: a ring device that outlives the loss of the device
// behind it (a sound server that goes away, a disconnected PCM).
//
// It passes every call through to its device until that device is lost for
// good: a ring that restore cannot recover, a call that fails outright, or
// more than kRestoresBeforeLoss restores in a row with no fill between them.
// Then, in order:
//   Playing   → Lost      one line "sound device lost: REASON, retrying"; a
//                         stand-in ring (a VirtualRingDevice) plays on from the
//                         last cursor the device reported, on the software
//                         clock, as if it had gone on playing since then: the
//                         feeder keeps filling and the song keeps moving, as a
//                         radio's does while nobody listens;
//   Lost      → Retrying  at the next retry time the feeder's service call
//                         reopens the device, outside the output's lock;
//   Retrying  → Lost      it failed: the next try after kRetryIntervalMs, or
//                         kLongRetryIntervalMs after kQuickRetries failures;
//   Retrying  → Back      the device is open with a lap of silence, playing;
//                         the stand-in goes on until the device's cursor moves
//                         (a sound server may hold a new stream's cursor for a
//                         second or two before it plays), at most
//                         kPlaybackWaitMs;
//   Back      → Playing   one line "sound device back", the device's cursor
//                         mapped onto the stand-in's,
//                            cursor = (deviceCursor + offset) mod 65536,
//                         so the feeder fills on from where the software clock
//                         got to; what it fills is heard after the new lap;
//   Back      → Lost      the device failed before it played: retried as above.
// The owner's calls never wait for a reopening: while Lost, Retrying or Back
// they go to the stand-in. Only the feeder calls service; the output
// serialises the other calls.
#pragma once

#include <atomic>
#include <cstdint>

#include "output/output_report.h"
#include "output/ring_device.h"
#include "output/virtual_ring_device.h"

namespace zimblo::output {

enum class RecoveryState : uint32_t { Playing, Lost, Retrying, Back };

constexpr uint32_t kRestoresBeforeLoss = 32;
constexpr uint64_t kRetryIntervalMs = 1000;
constexpr uint64_t kLongRetryIntervalMs = 5000;
constexpr uint32_t kQuickRetries = 30;
constexpr uint64_t kPlaybackWaitMs = 3000;

class RecoveringRingDevice final : public RingDevice {
public:
    // Before open: the device it stands for, the clock of the stand-in and of
    // the retries (null: the steady clock), where its two lines go.
    void setDevice(RingDevice* device) { device_ = device; }
    void setClock(NanosecondClock clock, void* context);
    void setReport(const OutputReport& report) { report_ = report; }

    bool open(void* ownerWindow) override;
    void close() override;
    const char* failureReason() const override;
    RingStatus play() override;
    RingStatus playCursor(uint32_t& cursor) override;
    RingStatus lock(uint32_t offset, uint32_t bytes, RingRegions& regions) override;
    RingStatus unlock(const RingRegions& regions) override;
    RingStatus restore() override;
    void service() override;
    // The device's, while it plays; the stand-in needs nothing.
    uint32_t takeBack(uint32_t offset) override;

    RecoveryState state() const { return state_.load(); }
    uint32_t failedRetries() const { return failedRetries_; }

private:
    bool standingIn() const { return state_.load() != RecoveryState::Playing; }
    void becomeLost(const char* reason);
    // Sets the next retry time after one more failure.
    void retryLater();
    void awaitPlayback();
    void comeBack(uint32_t deviceCursor);
    uint64_t now() const { return clock_(clockContext_); }

    RingDevice* device_ = nullptr;
    NanosecondClock clock_ = steadyClockNanoseconds;
    void* clockContext_ = nullptr;
    OutputReport report_;
    VirtualRingDevice standIn_;

    std::atomic<RecoveryState> state_{RecoveryState::Playing};
    uint32_t offset_ = 0;         // added to the device's cursor while Playing
    uint32_t standInOffset_ = 0;  // added to the stand-in's cursor otherwise
    uint32_t lastCursor_ = 0;     // the last cursor seen to move, and when
    uint64_t lastCursorNanoseconds_ = 0;
    uint32_t restoresInARow_ = 0;
    uint64_t nextRetryNanoseconds_ = 0;
    uint32_t failedRetries_ = 0;
    uint32_t reopenedCursor_ = 0;  // the device's cursor as it was reopened, and when
    uint64_t reopenedNanoseconds_ = 0;
};

}  // namespace zimblo::output
