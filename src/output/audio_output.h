// AudioOutput: streams an endless callback-rendered signal to a looping ring
// on the sound device.
//
// A feeder thread wakes at least every 21 ms, reads the play cursor, and
// refills exactly the stretch played since its last fill, from writePosition
// up to the cursor rounded down to 32 bytes (8 frames): it asks the callback
// for span / 4 StereoFrames and converts them to 16-bit samples,
//   s16 = clamp(roundToInt(sample · gain), −32600, +32600),  gain = v · 32768,
// nearest-even, NaN or a product outside 32 bits giving −32600. What it writes
// is heard one lap later: the ring's 16384 frames are the latency, and the
// first lap after start plays the silence written at start.
//
// bytesWritten counts filled bytes from −65536, so playPosition (bytes of
// rendered audio played) is negative during that first lap and reaches 0 as
// the first rendered byte is heard.
//
// discardQueued brings the fill back to a short lead after the play cursor, so
// that what the owner changes is heard after the lead instead of a lap:
// writePosition and bytesWritten go back by the bytes given up (only rendered
// bytes, never the first lap's silence), the device takes back what it has
// already handed on, and the feeder is woken to fill from there at once.
// playPosition stays what is heard; rendering goes on from the returned number
// of frames earlier in the stream.
//
// The feeder holds the lock from reading the cursor to unlocking the ring,
// the callback included; the owner may take the same lock to change what the
// callback reads. Nothing is allocated after start: the staging block holds a
// whole ring's worth of frames.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "dsp/stereo_frame.h"
#include "output/ring_device.h"

namespace zimblo::output {

// Fills exactly `count` frames; its result is not used.
using RenderCallback = void (*)(void* context, StereoFrame* frames, uint32_t count);

// Start's success value: all bits set.
constexpr uint32_t kStartSucceeded = 0xFFFFFFFFu;
constexpr float kFullScaleGain = 32768.0f;
constexpr int32_t kInitialByteCount = -static_cast<int32_t>(kRingBytes);  // one lap of silence
constexpr uint32_t kFillAlignmentBytes = 32;
constexpr int kWakeIntervalMs = 21;       // ≈ 926 frames, far less than the ring holds
// stop waits so long for the feeder and the device's close together; the close
// gets at least kCloseWaitMinimumMs of its own. Whatever is still running then
// is abandoned, so stop returns within about 1.2 s whatever the device does.
constexpr int kStopWaitMs = 1000;
constexpr int kCloseWaitMinimumMs = 200;
// playPosition keeps its previous estimate when the cursor is this far past the
// last fill: the fill is behind, and bytesWritten + d would overstate it.
constexpr uint32_t kEstimateWindowBytes = 0x4000;
constexpr uint32_t kStagingFrames = kRingFrames;
// What discardQueued keeps ahead of the cursor by default: ≈ 46 ms, more than
// two feeder wakes, so that the new fill lands before the cursor reaches it.
constexpr uint32_t kDiscardLeadFrames = 2048;

struct AudioOutput {
    // The sound device, its callback and the conversion gain.
    RingDevice* device = nullptr;
    bool deviceOpen = false;
    RenderCallback callback = nullptr;
    void* callbackContext = nullptr;
    std::atomic<float> gain{kFullScaleGain};

    // The feeder and its fill position.
    std::atomic<uint32_t> quitFlag{0};
    std::thread thread;
    RingRegions lockRegion;
    uint32_t playCursor = 0;
    uint32_t writePosition = 0;  // always a multiple of 32
    int wakeEvent = -1;          // auto-reset: a read clears it
    std::recursive_mutex criticalSection;

    // Position queries.
    uint32_t queryCursor = 0;
    uint32_t bytesWritten = static_cast<uint32_t>(kInitialByteCount);  // signed, wraps as unsigned
    int32_t positionEstimate = kInitialByteCount;

    std::array<StereoFrame, kStagingFrames> stagingBuffer{};

    // The feeder's end, so that stop can wait for it with a bound.
    std::mutex exitMutex;
    std::condition_variable exitSignal;
    bool feederEnded = true;

    // The device's close, run with a deadline by stop; still set while an
    // abandoned close goes on, and start refuses to reuse the device meanwhile.
    RingDevice* closingDevice = nullptr;
    std::atomic<bool> closeRunning{false};

    // Fill timings since start, in nanoseconds: the callback alone, and the whole
    // pass from reading the cursor to unlocking the ring.
    std::atomic<uint64_t> fillCount{0};
    std::atomic<uint64_t> passCount{0};  // every pass, a fill or not
    std::atomic<uint64_t> worstCallbackNanoseconds{0};
    std::atomic<uint64_t> worstFillNanoseconds{0};

    const char* startFailure = nullptr;

    // device == nullptr: the device ZIMBLO_AUDIO selects (see device_selection.h).
    // Returns kStartSucceeded, or 0 after stopping again.
    uint32_t start(RenderCallback renderCallback, void* context, void* ownerWindow,
                   RingDevice* ringDevice = nullptr);
    // Ends the feeder and releases the device, within about 1.2 s in any case
    // (a feeder or a close that takes longer is abandoned to the process's
    // exit: the owner should then end the process with _Exit).
    void stop();
    // One feeder pass after another until quitFlag is seen.
    void feed();
    // One region of `bytes` bytes: bytes / 2 samples from `samples`.
    void convert(uint8_t* region, uint32_t bytes, const float* samples) const;
    int32_t playPosition();
    // Keeps at least leadFrames (rounded up to 8 frames) queued after the cursor
    // and gives up the rest; returns the frames given up. 0 when nothing was
    // (the device not playing, less than the lead queued).
    uint32_t discardQueued(uint32_t leadFrames = kDiscardLeadFrames);
    void setVolume(float volume);
    void wake();
    void lock();
    void unlock();

    static void closeDevice(void* context);

    // Why the last start failed.
    const char* failureReason() const;
};

}  // namespace zimblo::output
