#include "output/audio_output.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "dsp/numerics.h"
#include "output/deadline_call.h"
#include "output/device_selection.h"
#include "output/thread_priority.h"
#include "player/pcm16.h"

namespace zimblo::output {

namespace {

// A device that keeps reporting a lost ring right after each restore would
// otherwise hold the lock for ever; after this many the pass is given up and
// the next one tries again.
constexpr int kMaxRestoresPerPass = 16;

uint64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

void raiseToAtLeast(std::atomic<uint64_t>& worst, uint64_t value) {
    uint64_t seen = worst.load(std::memory_order_relaxed);
    while (value > seen && !worst.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

}  // namespace

uint32_t AudioOutput::start(RenderCallback renderCallback, void* context, void* ownerWindow,
                            RingDevice* ringDevice) {
    // A feeder or a device close left behind by a stop that timed out still
    // uses this record or its device.
    {
        std::lock_guard<std::mutex> guard(exitMutex);
        if (!feederEnded) {
            startFailure = "the previous feeder thread has not ended";
            return 0;
        }
    }
    if (closeRunning.load()) {
        startFailure = "the previous sound device has not finished closing";
        return 0;
    }
    if (thread.joinable()) thread.join();

    // 1. Clear the record.
    device = nullptr;
    deviceOpen = false;
    gain.store(0.0f, std::memory_order_relaxed);
    quitFlag.store(0, std::memory_order_relaxed);
    lockRegion = RingRegions{};
    playCursor = 0;
    writePosition = 0;
    wakeEvent = -1;
    queryCursor = 0;
    bytesWritten = 0;
    positionEstimate = 0;
    stagingBuffer.fill(StereoFrame{});
    fillCount.store(0, std::memory_order_relaxed);
    passCount.store(0, std::memory_order_relaxed);
    worstCallbackNanoseconds.store(0, std::memory_order_relaxed);
    worstFillNanoseconds.store(0, std::memory_order_relaxed);
    startFailure = nullptr;

    // 2.
    callback = renderCallback;
    callbackContext = context;

    // 3.-6. The device with its ring in the fixed output format.
    device = ringDevice != nullptr ? ringDevice : environmentRingDevice();
    if (!device->open(ownerWindow)) {
        startFailure = device->failureReason();
        stop();
        return 0;
    }
    deviceOpen = true;

    // 7. One lap of silence.
    if (const char* failed = writeSilentLap(*device); failed != nullptr) {
        startFailure = failed;
        stop();
        return 0;
    }

    // 8.
    bytesWritten = static_cast<uint32_t>(kInitialByteCount);
    positionEstimate = kInitialByteCount;

    // 9. The lock is a member; only the event is made here.
    wakeEvent = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    // 10.
    if (device->play() != RingStatus::Ok) {
        startFailure = "the ring would not play";
        stop();
        return 0;
    }

    // 11.
    gain.store(kFullScaleGain, std::memory_order_relaxed);

    // 12. The feeder raises its own priority as its first act (a thread's nice
    // value can only be set through its own id).
    {
        std::lock_guard<std::mutex> guard(exitMutex);
        feederEnded = false;
    }
    thread = std::thread([this] {
        leaveSignalsToTheMainThread();
        raiseCurrentThreadPriority();
        feed();
        std::lock_guard<std::mutex> guard(exitMutex);
        feederEnded = true;
        exitSignal.notify_all();
    });
    return kStartSucceeded;
}

void AudioOutput::feed() {
    for (;;) {
        // 1.
        if (quitFlag.load(std::memory_order_relaxed) != 0) return;

        // 2. A signal and a timeout are handled alike; reading clears the event.
        if (wakeEvent >= 0) {
            pollfd waiting{wakeEvent, POLLIN, 0};
            if (poll(&waiting, 1, kWakeIntervalMs) > 0) {
                uint64_t count = 0;
                ssize_t ignored = read(wakeEvent, &count, sizeof count);
                (void)ignored;
            }
        } else {
            timespec interval{0, kWakeIntervalMs * 1000000L};
            nanosleep(&interval, nullptr);
        }

        // Slow device work (reopening a lost one) never holds the lock.
        device->service();

        // 3.
        lockRegion = RingRegions{};
        criticalSection.lock();
        const uint64_t passStart = monotonicNanoseconds();

        bool filled = false;
        for (int restores = 0;;) {
            // 4.
            RingStatus status = device->playCursor(playCursor);
            if (status == RingStatus::Lost) {
                if (++restores > kMaxRestoresPerPass || device->restore() != RingStatus::Ok) break;
                continue;
            }
            if (status != RingStatus::Ok) break;

            // 5.
            const uint32_t newPosition = playCursor & ~(kFillAlignmentBytes - 1);
            int32_t span = asSigned(newPosition - writePosition);
            if (span == 0) break;
            if (span < 0) span += static_cast<int32_t>(kRingBytes);

            // 6. The span is counted before the lock: a span lost there is given up.
            bytesWritten += static_cast<uint32_t>(span);
            const uint32_t oldPosition = writePosition;
            writePosition = newPosition;
            status = device->lock(oldPosition, static_cast<uint32_t>(span), lockRegion);
            if (status == RingStatus::Lost) {
                lockRegion = RingRegions{};
                if (++restores > kMaxRestoresPerPass || device->restore() != RingStatus::Ok) break;
                continue;
            }
            if (status != RingStatus::Ok) lockRegion = RingRegions{};

            // 7.
            const uint64_t callbackStart = monotonicNanoseconds();
            callback(callbackContext, stagingBuffer.data(), static_cast<uint32_t>(span) / kFrameBytes);
            raiseToAtLeast(worstCallbackNanoseconds, monotonicNanoseconds() - callbackStart);

            // 8. The second region continues in the staging block where the first ended.
            const float* samples = &stagingBuffer[0].left;
            if (lockRegion.first != nullptr) convert(lockRegion.first, lockRegion.firstBytes, samples);
            if (lockRegion.second != nullptr)
                convert(lockRegion.second, lockRegion.secondBytes, samples + lockRegion.firstBytes / 2);

            // 9.
            device->unlock(lockRegion);
            filled = true;
            break;
        }

        if (filled) {
            fillCount.fetch_add(1, std::memory_order_relaxed);
            raiseToAtLeast(worstFillNanoseconds, monotonicNanoseconds() - passStart);
        }
        criticalSection.unlock();
        passCount.fetch_add(1);
    }
}

void AudioOutput::convert(uint8_t* region, uint32_t bytes, const float* samples) const {
    // Nearest-even needs the default rounding mode, whatever the thread was left in.
    FpEnvironmentGuard fpEnvironment;
    const float factor = gain.load(std::memory_order_relaxed);
    auto* destination = reinterpret_cast<int16_t*>(region);
    const uint32_t sampleCount = bytes / 2;
    for (uint32_t i = 0; i < sampleCount; ++i) destination[i] = player::toPcm16(samples[i], factor);
}

int32_t AudioOutput::playPosition() {
    std::lock_guard<std::recursive_mutex> guard(criticalSection);
    if (!deviceOpen) return positionEstimate;
    device->playCursor(queryCursor);
    int32_t d = asSigned(queryCursor - writePosition);
    if (d < 0) d += static_cast<int32_t>(kRingBytes);
    if (static_cast<uint32_t>(d) < kEstimateWindowBytes)
        positionEstimate = asSigned(bytesWritten + static_cast<uint32_t>(d));
    return positionEstimate;
}

uint32_t AudioOutput::discardQueued(uint32_t leadFrames) {
    std::lock_guard<std::recursive_mutex> guard(criticalSection);
    if (!deviceOpen || device == nullptr) return 0;
    uint32_t cursor = 0;
    if (device->playCursor(cursor) != RingStatus::Ok) return 0;

    // Queued: from the cursor to writePosition one lap on. The lead ends on a
    // fill boundary.
    const uint32_t behind = (cursor - writePosition) % kRingBytes;
    const uint32_t queued = kRingBytes - behind;
    const uint64_t wanted = std::min<uint64_t>(uint64_t{leadFrames} * kFrameBytes, kRingBytes);
    const uint32_t leadEnd = static_cast<uint32_t>((cursor + wanted + kFillAlignmentBytes - 1) &
                                                   ~uint64_t{kFillAlignmentBytes - 1}) % kRingBytes;
    uint32_t lead = (leadEnd - cursor) % kRingBytes;
    if (lead == 0 && wanted > 0) lead = kRingBytes;
    if (lead >= queued) return 0;
    uint32_t discard = queued - lead;
    // Only rendered bytes are given back: the first lap's silence stays.
    const int64_t rendered = int64_t{asSigned(bytesWritten)} + kRingBytes;
    discard = static_cast<uint32_t>(std::clamp<int64_t>(std::min<int64_t>(discard, rendered), 0, kRingBytes));
    if (discard == 0) return 0;

    // The device may take back less: the fill then starts later (still aligned).
    const uint32_t from = (writePosition - discard) % kRingBytes;
    const uint32_t taken = device->takeBack(from) % kRingBytes;
    const uint32_t start = ((taken + kFillAlignmentBytes - 1) & ~(kFillAlignmentBytes - 1)) % kRingBytes;
    const uint32_t kept = (start - from) % kRingBytes;
    if (kept >= discard) return 0;
    discard -= kept;

    if (behind < kEstimateWindowBytes) positionEstimate = asSigned(bytesWritten + behind);
    writePosition = (writePosition - discard) % kRingBytes;
    bytesWritten -= discard;
    wake();
    return discard / kFrameBytes;
}

void AudioOutput::setVolume(float volume) {
    gain.store(volume * kFullScaleGain, std::memory_order_relaxed);
}

void AudioOutput::wake() {
    if (wakeEvent < 0) return;
    const uint64_t one = 1;
    ssize_t ignored = write(wakeEvent, &one, sizeof one);
    (void)ignored;
}

void AudioOutput::lock() { criticalSection.lock(); }

void AudioOutput::unlock() { criticalSection.unlock(); }

void AudioOutput::stop() {
    // 1.
    quitFlag.fetch_add(1, std::memory_order_relaxed);
    const auto deadline = DeadlineClock::now() + std::chrono::milliseconds(kStopWaitMs);

    // 2. A feeder that does not end in time is left to the process's exit, and
    // so is the device it may still be using: releasing it under a running
    // thread would free what that thread touches next.
    bool ended = true;
    if (thread.joinable()) {
        std::unique_lock<std::mutex> guard(exitMutex);
        ended = exitSignal.wait_until(guard, deadline, [this] { return feederEnded; });
        guard.unlock();
        if (ended) thread.join();
        else thread.detach();
    }
    if (!ended) return;

    // 3.
    if (wakeEvent >= 0) {
        close(wakeEvent);
        wakeEvent = -1;
    }

    // 4. The close may wait on a sound server that never answers: it runs on a
    // thread of its own and is abandoned at the deadline (with some time left
    // for it however long the feeder took).
    if (device != nullptr && deviceOpen) {
        closeRunning.store(true);
        closingDevice = device;
        const auto closeDeadline = std::max(deadline, DeadlineClock::now() + std::chrono::milliseconds(kCloseWaitMinimumMs));
        if (!runWithDeadline(&AudioOutput::closeDevice, this, closeDeadline) && !closeRunning.load()) {
            // The close thread could not even start: close here, it is all there is.
            closeDevice(this);
        }
    } else if (device != nullptr) {
        device->close();
    }
    deviceOpen = false;
    device = nullptr;
}

void AudioOutput::closeDevice(void* context) {
    auto* self = static_cast<AudioOutput*>(context);
    self->closingDevice->close();
    self->closeRunning.store(false);
}

const char* AudioOutput::failureReason() const {
    return startFailure != nullptr ? startFailure : "unknown failure";
}

}  // namespace zimblo::output
