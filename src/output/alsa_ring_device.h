// AlsaRingDevice: the looping ring on an ALSA playback PCM ("default" unless
// named otherwise), 44100 Hz, 2 channels, signed 16-bit little-endian.
//
// ALSA streams rather than loops, so the ring is kept over the device's
// buffer: the feeder writes into a 65536-byte ring of our own, and each unlock
// hands ALSA the bytes from the transfer offset T up to the end of the
// unlocked span (through mmap where the PCM offers it, else by writes). ALSA
// thus holds the next lap, T − 65536 .. T, and the play cursor is
//   cursor = (T − 4 · pending) mod 65536,  pending = bufferFrames − avail,
// the frames queued but not yet played. The device buffer is 4 periods of
// 4096 frames = 16384 frames, exactly one ring: a power-of-two period keeps
// the sound-server plugins clear of spurious xruns.
//
// An xrun or a suspended device is the lost ring. restore recovers the PCM
// (silently: the recovery's message would land on the user's terminal),
// queues one lap of silence so that playback goes on at once, restarts the
// stream explicitly (mmap streams never start by themselves), and keeps the
// cursor where the feeder last saw it, so that the next fill is the stretch
// played since then.
//
// takeBack rewinds ALSA's queue to the given offset where the PCM can rewind
// so far (T moves back with it); where it cannot, or it is an external plugin
// whose rewind leaves its server's queue as it was, the stream is dropped,
// prepared, given again the ring's bytes from the cursor to the offset, and
// restarted: a brief gap, the price of a queue that cannot be taken back.
#pragma once

#include <alsa/asoundlib.h>

#include <array>
#include <cstdint>
#include <string>

#include "output/ring_device.h"

namespace zimblo::output {

constexpr snd_pcm_uframes_t kPeriodFrames = 4096;
constexpr unsigned kPeriodsPerBuffer = 4;
// Reading the position right after set-up can fail with EIO on the sound-server
// plugin: so many failures in a row (about 1 s of passes) before the ring
// counts as lost.
constexpr int kTransientErrorLimit = 48;

class AlsaRingDevice final : public RingDevice {
public:
    void setPcmName(const char* name);

    bool open(void* ownerWindow) override;
    void close() override;
    const char* failureReason() const override;
    RingStatus play() override;
    RingStatus playCursor(uint32_t& cursor) override;
    RingStatus lock(uint32_t offset, uint32_t bytes, RingRegions& regions) override;
    RingStatus unlock(const RingRegions& regions) override;
    RingStatus restore() override;
    uint32_t takeBack(uint32_t offset) override;

    bool usesMmap() const { return mmapAccess_; }

private:
    bool fail(const char* what, int error);
    // Frames ALSA can take now without holding more than one ring.
    snd_pcm_sframes_t room();
    // Hands `frames` frames at `source` to ALSA; returns the frames taken, or a
    // negative error.
    snd_pcm_sframes_t transfer(const uint8_t* source, snd_pcm_uframes_t frames);
    RingStatus queueSilentLap();
    RingStatus startIfPrepared();
    // Drops the queue and queues the ring's bytes from the cursor to `offset`.
    bool requeueUpTo(uint32_t offset);

    std::string pcmName_ = "default";
    std::string failure_;
    snd_pcm_t* pcm_ = nullptr;
    bool mmapAccess_ = false;
    snd_pcm_uframes_t bufferFrames_ = 0;

    uint32_t transferOffset_ = 0;  // T, a multiple of 4
    uint32_t lastCursor_ = 0;
    uint32_t lockOffset_ = 0;
    uint32_t lockBytes_ = 0;
    bool lockPending_ = false;
    int lastError_ = 0;
    int transientErrors_ = 0;

    alignas(64) std::array<uint8_t, kRingBytes> ring_{};
    alignas(64) std::array<uint8_t, kPeriodFrames * kFrameBytes> silence_{};
};

}  // namespace zimblo::output
