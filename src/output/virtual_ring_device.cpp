#include "output/virtual_ring_device.h"

#include <time.h>

#include <algorithm>

namespace zimblo::output {

namespace {
constexpr uint64_t kNanosecondsPerSecond = 1000000000u;
}

uint64_t steadyClockNanoseconds(void*) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * kNanosecondsPerSecond + static_cast<uint64_t>(now.tv_nsec);
}

void VirtualRingDevice::setClock(NanosecondClock clock, void* context) {
    clock_ = clock != nullptr ? clock : steadyClockNanoseconds;
    clockContext_ = context;
}

void VirtualRingDevice::setCaptureSink(CaptureSink* sink) { sink_ = sink; }

bool VirtualRingDevice::open(void*) {
    close();
    failure_ = "";
    if (failingOpens_ > 0) {
        --failingOpens_;
        failure_ = "the device is disconnected";
        return false;
    }
    disconnected_ = false;
    if (sink_ != nullptr && !sink_->begin(&failure_)) return false;
    ring_.fill(0);
    playing_ = false;
    playStart_ = 0;
    bytesCaptured_ = 0;
    lost_ = false;
    nextLockStatus_ = RingStatus::Ok;
    lastLock_ = RingRegions{};
    cursorReads_ = 0;
    restores_ = 0;
    locks_ = 0;
    open_ = true;
    return true;
}

void VirtualRingDevice::close() {
    if (!open_) return;
    if (playing_) capture(bytesPlayedNow());
    if (sink_ != nullptr) sink_->end();
    playing_ = false;
    open_ = false;
}

const char* VirtualRingDevice::failureReason() const { return failure_; }

RingStatus VirtualRingDevice::play() { return playSince(clock_(clockContext_)); }

RingStatus VirtualRingDevice::playSince(uint64_t startNanoseconds) {
    if (!open_) return RingStatus::Failed;
    if (!playing_) {
        playStart_ = startNanoseconds;
        playing_ = true;
    }
    return RingStatus::Ok;
}

// Exact in integers: whole seconds and the nanosecond remainder apart, so that
// no product overflows for centuries of play.
uint64_t VirtualRingDevice::bytesPlayedNow() {
    if (!playing_) return 0;
    const uint64_t now = clock_(clockContext_);
    const uint64_t elapsed = now > playStart_ ? now - playStart_ : 0;
    const uint64_t frames = elapsed / kNanosecondsPerSecond * kSampleRate +
                            elapsed % kNanosecondsPerSecond * kSampleRate / kNanosecondsPerSecond;
    return frames * kFrameBytes;
}

uint64_t VirtualRingDevice::framesPlayed() { return bytesPlayedNow() / kFrameBytes; }

void VirtualRingDevice::capture(uint64_t upTo) {
    if (sink_ == nullptr) {
        bytesCaptured_ = upTo;
        return;
    }
    while (bytesCaptured_ < upTo) {
        const uint32_t offset = static_cast<uint32_t>(bytesCaptured_ % kRingBytes);
        const uint64_t left = upTo - bytesCaptured_;
        const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(left, kRingBytes - offset));
        sink_->played(ring_.data() + offset, piece);
        bytesCaptured_ += piece;
    }
}

RingStatus VirtualRingDevice::playCursor(uint32_t& cursor) {
    cursorReads_.fetch_add(1);
    if (!open_) return RingStatus::Failed;
    if (lost_) return RingStatus::Lost;
    const uint64_t played = bytesPlayedNow();
    capture(played);
    cursor = static_cast<uint32_t>(played % kRingBytes);
    return RingStatus::Ok;
}

RingStatus VirtualRingDevice::lock(uint32_t offset, uint32_t bytes, RingRegions& regions) {
    regions = RingRegions{};
    locks_.fetch_add(1);
    if (!open_ || bytes > kRingBytes || offset >= kRingBytes) return RingStatus::Failed;
    if (lost_) return RingStatus::Lost;
    if (nextLockStatus_ != RingStatus::Ok) {
        const RingStatus status = nextLockStatus_;
        nextLockStatus_ = RingStatus::Ok;
        if (status == RingStatus::Lost) lost_ = true;
        return status;
    }
    const uint32_t toEnd = kRingBytes - offset;
    regions.first = ring_.data() + offset;
    regions.firstBytes = std::min(bytes, toEnd);
    if (bytes > toEnd) {
        regions.second = ring_.data();
        regions.secondBytes = bytes - toEnd;
    }
    lastLock_ = regions;
    return RingStatus::Ok;
}

RingStatus VirtualRingDevice::unlock(const RingRegions&) {
    return open_ ? RingStatus::Ok : RingStatus::Failed;
}

RingStatus VirtualRingDevice::restore() {
    if (!open_) return RingStatus::Failed;
    restores_.fetch_add(1);
    if (disconnected_) {
        failure_ = "the device is disconnected";
        return RingStatus::Failed;
    }
    lost_ = false;
    return RingStatus::Ok;
}

void VirtualRingDevice::loseRing() { lost_ = true; }

void VirtualRingDevice::failNextLock(RingStatus status) { nextLockStatus_ = status; }

void VirtualRingDevice::disconnect(uint32_t failingOpens) {
    lost_ = true;
    disconnected_ = true;
    failingOpens_ = failingOpens;
}

}  // namespace zimblo::output
