#include "output/recovering_ring_device.h"

#include <string>

namespace zimblo::output {

namespace {

constexpr uint64_t kNanosecondsPerMillisecond = 1000000u;

uint32_t ringOffset(uint32_t offset) { return offset % kRingBytes; }

}  // namespace

void RecoveringRingDevice::setClock(NanosecondClock clock, void* context) {
    clock_ = clock != nullptr ? clock : steadyClockNanoseconds;
    clockContext_ = context;
}

bool RecoveringRingDevice::open(void* ownerWindow) {
    close();
    standIn_.setClock(clock_, clockContext_);
    standIn_.setCaptureSink(nullptr);
    offset_ = 0;
    standInOffset_ = 0;
    lastCursor_ = 0;
    lastCursorNanoseconds_ = now();
    restoresInARow_ = 0;
    failedRetries_ = 0;
    return device_ != nullptr && device_->open(ownerWindow);
}

void RecoveringRingDevice::close() {
    if (device_ != nullptr) device_->close();
    standIn_.close();
    state_.store(RecoveryState::Playing);
}

const char* RecoveringRingDevice::failureReason() const {
    return device_ != nullptr ? device_->failureReason() : "no sound device";
}

RingStatus RecoveringRingDevice::play() {
    if (standingIn()) return RingStatus::Ok;
    lastCursorNanoseconds_ = now();
    return device_->play();
}

RingStatus RecoveringRingDevice::playCursor(uint32_t& cursor) {
    if (state_.load() == RecoveryState::Back) awaitPlayback();
    if (!standingIn()) {
        uint32_t deviceCursor = 0;
        const RingStatus status = device_->playCursor(deviceCursor);
        if (status == RingStatus::Ok) {
            const uint32_t mapped = ringOffset(deviceCursor + offset_);
            if (mapped != lastCursor_) {
                lastCursor_ = mapped;
                lastCursorNanoseconds_ = now();
            }
            cursor = mapped;
            return status;
        }
        if (status == RingStatus::Lost) return status;
        becomeLost(device_->failureReason());
    }
    uint32_t standInCursor = 0;
    const RingStatus status = standIn_.playCursor(standInCursor);
    if (status == RingStatus::Ok) cursor = ringOffset(standInCursor + standInOffset_);
    return status;
}

RingStatus RecoveringRingDevice::lock(uint32_t offset, uint32_t bytes, RingRegions& regions) {
    if (!standingIn()) {
        const RingStatus status = device_->lock(ringOffset(offset - offset_), bytes, regions);
        if (status != RingStatus::Failed) return status;
        // Lost for good: the feeder's restore is then a no-op, and its next
        // cursor read comes from the stand-in.
        becomeLost(device_->failureReason());
        regions = RingRegions{};
        return RingStatus::Lost;
    }
    return standIn_.lock(ringOffset(offset - standInOffset_), bytes, regions);
}

RingStatus RecoveringRingDevice::unlock(const RingRegions& regions) {
    if (standingIn()) return standIn_.unlock(regions);
    const RingStatus status = device_->unlock(regions);
    if (status == RingStatus::Ok) restoresInARow_ = 0;
    return status;
}

uint32_t RecoveringRingDevice::takeBack(uint32_t offset) {
    if (standingIn()) return offset;
    return ringOffset(device_->takeBack(ringOffset(offset - offset_)) + offset_);
}

RingStatus RecoveringRingDevice::restore() {
    if (standingIn()) return RingStatus::Ok;
    if (++restoresInARow_ > kRestoresBeforeLoss) {
        becomeLost("its ring is lost again after every restore");
        return RingStatus::Ok;
    }
    if (device_->restore() == RingStatus::Ok) return RingStatus::Ok;
    becomeLost(device_->failureReason());
    return RingStatus::Ok;
}

void RecoveringRingDevice::becomeLost(const char* reason) {
    const std::string why = reason != nullptr && reason[0] != '\0' ? reason : "it stopped working";
    standIn_.open(nullptr);
    standIn_.playSince(lastCursorNanoseconds_);
    standInOffset_ = lastCursor_;
    failedRetries_ = 0;
    nextRetryNanoseconds_ = now() + kRetryIntervalMs * kNanosecondsPerMillisecond;
    state_.store(RecoveryState::Lost);
    report_("sound device lost: " + why + ", retrying");
}

void RecoveringRingDevice::service() {
    if (state_.load() != RecoveryState::Lost || now() < nextRetryNanoseconds_) return;
    state_.store(RecoveryState::Retrying);
    if (device_->open(nullptr) && writeSilentLap(*device_) == nullptr && device_->play() == RingStatus::Ok) {
        reopenedNanoseconds_ = now();
        if (device_->playCursor(reopenedCursor_) != RingStatus::Ok) reopenedCursor_ = 0;
        state_.store(RecoveryState::Back);
        return;
    }
    retryLater();
}

// The device is left as it is: the next open closes it first, outside the
// output's lock.
void RecoveringRingDevice::retryLater() {
    ++failedRetries_;
    const uint64_t interval = failedRetries_ < kQuickRetries ? kRetryIntervalMs : kLongRetryIntervalMs;
    nextRetryNanoseconds_ = now() + interval * kNanosecondsPerMillisecond;
    state_.store(RecoveryState::Lost);
}

void RecoveringRingDevice::awaitPlayback() {
    uint32_t deviceCursor = 0;
    const RingStatus status = device_->playCursor(deviceCursor);
    if (status == RingStatus::Lost && device_->restore() == RingStatus::Ok) return;
    if (status != RingStatus::Ok) {
        retryLater();  // lost again before it was back: nothing was said
        return;
    }
    if (deviceCursor == reopenedCursor_ && now() - reopenedNanoseconds_ < kPlaybackWaitMs * kNanosecondsPerMillisecond)
        return;
    comeBack(deviceCursor);
}

void RecoveringRingDevice::comeBack(uint32_t deviceCursor) {
    uint32_t standInCursor = 0;
    standIn_.playCursor(standInCursor);
    const uint32_t softwareCursor = ringOffset(standInCursor + standInOffset_);
    offset_ = ringOffset(softwareCursor - deviceCursor);
    lastCursor_ = softwareCursor;
    lastCursorNanoseconds_ = now();
    restoresInARow_ = 0;
    standIn_.close();
    state_.store(RecoveryState::Playing);
    report_("sound device back");
}

}  // namespace zimblo::output
