// RingDevice: a sound device that loops a 65536-byte ring of 16-bit stereo PCM
// at 44100 Hz, reports its play cursor, and lets stretches of the ring be
// written.
//
// The ring holds kRingFrames = 16384 frames (about 371.5 ms): whatever sits at
// a ring offset when the play cursor passes it is heard, so a stretch written
// just behind the cursor is heard one full lap later. Offsets and lengths are
// in bytes; one frame is 4 bytes (left, right as signed 16-bit).
//
// A device may lose its ring (an underrun, a suspended or reset device): it
// then reports Lost from playCursor or lock until restore has recovered it.
// The output serialises every call under its own lock; a device needs none.
#pragma once

#include <cstdint>

namespace zimblo::output {

constexpr uint32_t kSampleRate = 44100;      // frames per second
constexpr uint32_t kChannels = 2;
constexpr uint32_t kFrameBytes = 4;          // two signed 16-bit samples
constexpr uint32_t kBytesPerSecond = kSampleRate * kFrameBytes;  // 176400
constexpr uint32_t kRingBytes = 65536;
constexpr uint32_t kRingFrames = kRingBytes / kFrameBytes;       // 16384

enum class RingStatus : uint32_t {
    Ok = 0,
    Lost = 1,    // the ring must be restored before it plays again
    Failed = 2,  // any other error
};

// The one or two writable stretches of a locked span: the second is used when
// the span wraps past the ring's end. Lengths add up to the locked byte count.
struct RingRegions {
    uint8_t* first = nullptr;
    uint32_t firstBytes = 0;
    uint8_t* second = nullptr;
    uint32_t secondBytes = 0;
};

class RingDevice {
public:
    virtual ~RingDevice() = default;

    // Opens the device for a silent, not yet playing ring. ownerWindow is an
    // opaque handle a device may ignore. On failure, failureReason() says why.
    virtual bool open(void* ownerWindow) = 0;
    // Stops playback and releases the device; harmless when not open.
    virtual void close() = 0;
    virtual const char* failureReason() const = 0;

    // Starts endless looping playback of the ring.
    virtual RingStatus play() = 0;
    // The play cursor, a byte offset within the ring; left unchanged unless Ok.
    virtual RingStatus playCursor(uint32_t& cursor) = 0;
    // Makes `bytes` bytes from `offset` writable (bytes <= kRingBytes). On
    // anything but Ok the regions are left empty.
    virtual RingStatus lock(uint32_t offset, uint32_t bytes, RingRegions& regions) = 0;
    // The written bytes of a lock become playable. Empty regions are allowed.
    virtual RingStatus unlock(const RingRegions& regions) = 0;
    // Recovers a lost ring; playback goes on.
    virtual RingStatus restore() = 0;
    // Called by the feeder once per pass, outside the output's lock, for work
    // that may take long (reopening a lost device). Nothing by default.
    virtual void service() {}
    // The ring from `offset` on, up to where it was last written, is about to be
    // written afresh before the cursor reaches it. A device that has already
    // handed those bytes on takes back what it can. Returns the offset from which
    // the ring may be written afresh: `offset`, or a later one when the device
    // could take back less. The ring itself needs nothing here: by default the
    // new bytes are simply played when the cursor comes to them.
    virtual uint32_t takeBack(uint32_t offset) { return offset; }
};

// Locks the whole ring, writes silence into it and unlocks it: a fresh ring's
// first lap. Returns null, or what failed.
inline const char* writeSilentLap(RingDevice& device) {
    RingRegions whole;
    if (device.lock(0, kRingBytes, whole) != RingStatus::Ok) return "the ring could not be locked";
    for (uint8_t* byte = whole.first; byte != nullptr && byte != whole.first + whole.firstBytes; ++byte) *byte = 0;
    for (uint8_t* byte = whole.second; byte != nullptr && byte != whole.second + whole.secondBytes; ++byte) *byte = 0;
    if (device.unlock(whole) != RingStatus::Ok) return "the ring could not be unlocked";
    return nullptr;
}

}  // namespace zimblo::output
