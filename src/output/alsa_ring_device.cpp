#include "output/alsa_ring_device.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "output/printable_text.h"

namespace zimblo::output {

namespace {

// alsa-lib prints its own diagnostics on stderr; the output reports one line of
// its own instead.
void quietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

uint32_t ringDistance(uint32_t from, uint32_t to) { return (to - from) % kRingBytes; }

}  // namespace

void AlsaRingDevice::setPcmName(const char* name) {
    pcmName_ = name != nullptr && name[0] != '\0' ? name : "default";
}

bool AlsaRingDevice::fail(const char* what, int error) {
    failure_ = "ALSA PCM \"" + printableText(pcmName_) + "\": " + what;
    if (error != 0) failure_ += std::string(": ") + snd_strerror(error);
    close();
    return false;
}

bool AlsaRingDevice::open(void*) {
    close();
    failure_.clear();
    snd_lib_error_set_handler(quietAlsaErrors);

    int error = snd_pcm_open(&pcm_, pcmName_.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (error < 0) {
        pcm_ = nullptr;
        return fail("cannot open", error);
    }

    snd_pcm_hw_params_t* hardware = nullptr;
    snd_pcm_hw_params_alloca(&hardware);
    if ((error = snd_pcm_hw_params_any(pcm_, hardware)) < 0) return fail("no configuration", error);
    mmapAccess_ = snd_pcm_hw_params_test_access(pcm_, hardware, SND_PCM_ACCESS_MMAP_INTERLEAVED) == 0;
    error = snd_pcm_hw_params_set_access(pcm_, hardware,
                                         mmapAccess_ ? SND_PCM_ACCESS_MMAP_INTERLEAVED : SND_PCM_ACCESS_RW_INTERLEAVED);
    if (error < 0) return fail("no interleaved access", error);
    if ((error = snd_pcm_hw_params_set_format(pcm_, hardware, SND_PCM_FORMAT_S16_LE)) < 0)
        return fail("no signed 16-bit format", error);
    if ((error = snd_pcm_hw_params_set_channels(pcm_, hardware, kChannels)) < 0)
        return fail("no stereo", error);
    if ((error = snd_pcm_hw_params_set_rate(pcm_, hardware, kSampleRate, 0)) < 0)
        return fail("no 44100 Hz", error);
    snd_pcm_uframes_t period = kPeriodFrames;
    int direction = 0;
    if ((error = snd_pcm_hw_params_set_period_size_near(pcm_, hardware, &period, &direction)) < 0)
        return fail("no period size", error);
    snd_pcm_uframes_t buffer = kRingFrames;
    if ((error = snd_pcm_hw_params_set_buffer_size_near(pcm_, hardware, &buffer)) < 0)
        return fail("no buffer size", error);
    if ((error = snd_pcm_hw_params(pcm_, hardware)) < 0) return fail("cannot be set up", error);
    snd_pcm_hw_params_get_buffer_size(hardware, &bufferFrames_);
    snd_pcm_hw_params_get_period_size(hardware, &period, &direction);
    if (bufferFrames_ < kRingFrames) return fail("buffer smaller than 16384 frames", 0);

    // The stream is started explicitly after each lap of silence is queued; a
    // start threshold of one period covers a write-mode stream that starts as
    // soon as it has data.
    snd_pcm_sw_params_t* software = nullptr;
    snd_pcm_sw_params_alloca(&software);
    if ((error = snd_pcm_sw_params_current(pcm_, software)) < 0) return fail("no software set-up", error);
    snd_pcm_sw_params_set_start_threshold(pcm_, software, period);
    snd_pcm_sw_params_set_stop_threshold(pcm_, software, bufferFrames_);
    snd_pcm_sw_params_set_avail_min(pcm_, software, period);
    if ((error = snd_pcm_sw_params(pcm_, software)) < 0) return fail("software set-up refused", error);

    ring_.fill(0);
    transferOffset_ = 0;
    lastCursor_ = 0;
    lockPending_ = false;
    lastError_ = 0;
    transientErrors_ = 0;
    return true;
}

void AlsaRingDevice::close() {
    if (pcm_ == nullptr) return;
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
    lockPending_ = false;
}

const char* AlsaRingDevice::failureReason() const { return failure_.c_str(); }

RingStatus AlsaRingDevice::startIfPrepared() {
    if (snd_pcm_state(pcm_) != SND_PCM_STATE_PREPARED) return RingStatus::Ok;
    const int error = snd_pcm_start(pcm_);
    if (error < 0) {
        lastError_ = error;
        return RingStatus::Failed;
    }
    return RingStatus::Ok;
}

RingStatus AlsaRingDevice::play() {
    if (pcm_ == nullptr) return RingStatus::Failed;
    return startIfPrepared();
}

snd_pcm_sframes_t AlsaRingDevice::room() {
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
    if (avail < 0) return avail;
    const snd_pcm_sframes_t pending = static_cast<snd_pcm_sframes_t>(bufferFrames_) - avail;
    return std::max<snd_pcm_sframes_t>(0, std::min<snd_pcm_sframes_t>(avail, kRingFrames - pending));
}

snd_pcm_sframes_t AlsaRingDevice::transfer(const uint8_t* source, snd_pcm_uframes_t frames) {
    snd_pcm_uframes_t done = 0;
    while (done < frames) {
        const uint8_t* from = source + done * kFrameBytes;
        if (!mmapAccess_) {
            const snd_pcm_sframes_t written = snd_pcm_writei(pcm_, from, frames - done);
            if (written == -EAGAIN || written == 0) break;
            if (written < 0) return done > 0 ? static_cast<snd_pcm_sframes_t>(done) : written;
            done += static_cast<snd_pcm_uframes_t>(written);
            continue;
        }
        const snd_pcm_channel_area_t* areas = nullptr;
        snd_pcm_uframes_t offset = 0;
        snd_pcm_uframes_t contiguous = frames - done;
        int error = snd_pcm_mmap_begin(pcm_, &areas, &offset, &contiguous);
        if (error < 0) return done > 0 ? static_cast<snd_pcm_sframes_t>(done) : error;
        if (contiguous == 0) break;
        // Interleaved S16 stereo: channel 0's area addresses whole frames.
        auto* destination = static_cast<uint8_t*>(areas[0].addr) + areas[0].first / 8 + offset * kFrameBytes;
        std::memcpy(destination, from, contiguous * kFrameBytes);
        const snd_pcm_sframes_t committed = snd_pcm_mmap_commit(pcm_, offset, contiguous);
        if (committed < 0) return done > 0 ? static_cast<snd_pcm_sframes_t>(done) : committed;
        done += static_cast<snd_pcm_uframes_t>(committed);
        if (static_cast<snd_pcm_uframes_t>(committed) < contiguous) break;
    }
    return static_cast<snd_pcm_sframes_t>(done);
}

RingStatus AlsaRingDevice::playCursor(uint32_t& cursor) {
    if (pcm_ == nullptr) return RingStatus::Failed;
    const snd_pcm_sframes_t avail = snd_pcm_avail(pcm_);
    if (avail == -EIO || avail == -EAGAIN || avail == -EBUSY) {
        if (++transientErrors_ < kTransientErrorLimit) {
            cursor = lastCursor_;
            return RingStatus::Ok;
        }
        lastError_ = -EPIPE;
        return RingStatus::Lost;
    }
    if (avail < 0) {
        lastError_ = static_cast<int>(avail);
        return RingStatus::Lost;
    }
    transientErrors_ = 0;
    const snd_pcm_sframes_t pending = static_cast<snd_pcm_sframes_t>(bufferFrames_) - avail;
    if (pending <= 0 && snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING) {
        // Played dry: the stream is about to report the xrun.
        lastError_ = -EPIPE;
        return RingStatus::Lost;
    }
    const uint32_t pendingBytes = static_cast<uint32_t>(std::clamp<snd_pcm_sframes_t>(pending, 0, kRingFrames)) * kFrameBytes;
    lastCursor_ = (transferOffset_ - pendingBytes) % kRingBytes;
    cursor = lastCursor_;
    return RingStatus::Ok;
}

RingStatus AlsaRingDevice::lock(uint32_t offset, uint32_t bytes, RingRegions& regions) {
    regions = RingRegions{};
    lockPending_ = false;
    if (pcm_ == nullptr || bytes > kRingBytes || offset >= kRingBytes) return RingStatus::Failed;
    const snd_pcm_state_t state = snd_pcm_state(pcm_);
    if (state == SND_PCM_STATE_XRUN || state == SND_PCM_STATE_SUSPENDED) {
        lastError_ = state == SND_PCM_STATE_XRUN ? -EPIPE : -ESTRPIPE;
        return RingStatus::Lost;
    }
    if (state == SND_PCM_STATE_DISCONNECTED) return RingStatus::Failed;
    const uint32_t toEnd = kRingBytes - offset;
    regions.first = ring_.data() + offset;
    regions.firstBytes = std::min(bytes, toEnd);
    if (bytes > toEnd) {
        regions.second = ring_.data();
        regions.secondBytes = bytes - toEnd;
    }
    lockOffset_ = offset;
    lockBytes_ = bytes;
    lockPending_ = true;
    return RingStatus::Ok;
}

RingStatus AlsaRingDevice::unlock(const RingRegions&) {
    if (pcm_ == nullptr) return RingStatus::Failed;
    if (!lockPending_) return RingStatus::Ok;
    lockPending_ = false;

    // From T to the end of the span; more than the span when a fill was given
    // up in between (those bytes play what the ring held).
    uint32_t bytes = ringDistance(transferOffset_, lockOffset_) + lockBytes_;
    const snd_pcm_sframes_t frames = room();
    if (frames < 0) {
        lastError_ = static_cast<int>(frames);
        return RingStatus::Lost;
    }
    const uint32_t fits = static_cast<uint32_t>(frames) * kFrameBytes;
    if (bytes > fits) {
        // ALSA cannot take it all: drop the oldest bytes, keep the newest.
        transferOffset_ = (transferOffset_ + (bytes - fits)) % kRingBytes;
        bytes = fits;
    }
    while (bytes > 0) {
        const uint32_t piece = std::min(bytes, kRingBytes - transferOffset_);
        const snd_pcm_sframes_t taken = transfer(ring_.data() + transferOffset_, piece / kFrameBytes);
        if (taken < 0) {
            lastError_ = static_cast<int>(taken);
            return RingStatus::Lost;
        }
        const uint32_t takenBytes = static_cast<uint32_t>(taken) * kFrameBytes;
        transferOffset_ = (transferOffset_ + takenBytes) % kRingBytes;
        bytes -= takenBytes;
        if (takenBytes < piece) break;
    }
    return startIfPrepared();
}

uint32_t AlsaRingDevice::takeBack(uint32_t offset) {
    if (pcm_ == nullptr) return offset;
    uint32_t cursor = 0;
    if (playCursor(cursor) != RingStatus::Ok) return offset;
    // ALSA holds the cursor .. T; nothing to take back when the offset is past T.
    const uint32_t queuedBytes = ringDistance(cursor, transferOffset_);
    const uint32_t keptBytes = ringDistance(cursor, offset) & ~(kFrameBytes - 1);
    if (keptBytes >= queuedBytes) return offset;
    const snd_pcm_uframes_t wanted = (queuedBytes - keptBytes) / kFrameBytes;

    // An external plugin's rewind moves only its own pointer: what it has
    // passed to its server stays queued there.
    const snd_pcm_sframes_t rewindable = snd_pcm_type(pcm_) == SND_PCM_TYPE_IOPLUG ? 0 : snd_pcm_rewindable(pcm_);
    if (rewindable >= static_cast<snd_pcm_sframes_t>(wanted)) {
        const snd_pcm_sframes_t rewound = snd_pcm_rewind(pcm_, wanted);
        if (rewound > 0) {
            transferOffset_ = (transferOffset_ - static_cast<uint32_t>(rewound) * kFrameBytes) % kRingBytes;
            if (static_cast<snd_pcm_uframes_t>(rewound) == wanted) return offset;
            return transferOffset_;
        }
    }
    if (!requeueUpTo((cursor + keptBytes) % kRingBytes)) return transferOffset_;
    return offset;
}

bool AlsaRingDevice::requeueUpTo(uint32_t offset) {
    const uint32_t cursor = lastCursor_;
    if (snd_pcm_drop(pcm_) < 0) return false;
    const int error = snd_pcm_prepare(pcm_);
    if (error < 0) {
        // The next cursor read finds the stream broken and the ring is restored.
        lastError_ = error;
        return false;
    }
    transferOffset_ = cursor;
    uint32_t bytes = ringDistance(cursor, offset);
    while (bytes > 0) {
        const uint32_t piece = std::min(bytes, kRingBytes - transferOffset_);
        const snd_pcm_sframes_t taken = transfer(ring_.data() + transferOffset_, piece / kFrameBytes);
        if (taken <= 0) break;
        const uint32_t takenBytes = static_cast<uint32_t>(taken) * kFrameBytes;
        transferOffset_ = (transferOffset_ + takenBytes) % kRingBytes;
        bytes -= takenBytes;
    }
    lastCursor_ = cursor;
    if (startIfPrepared() != RingStatus::Ok) return false;
    return bytes == 0;
}

RingStatus AlsaRingDevice::queueSilentLap() {
    snd_pcm_uframes_t left = kRingFrames;
    while (left > 0) {
        const snd_pcm_uframes_t piece = std::min<snd_pcm_uframes_t>(left, kPeriodFrames);
        const snd_pcm_sframes_t taken = transfer(silence_.data(), piece);
        if (taken < 0) {
            lastError_ = static_cast<int>(taken);
            return RingStatus::Failed;
        }
        if (taken == 0) break;
        left -= static_cast<snd_pcm_uframes_t>(taken);
    }
    return RingStatus::Ok;
}

RingStatus AlsaRingDevice::restore() {
    if (pcm_ == nullptr) return RingStatus::Failed;
    const int error = lastError_ != 0 ? lastError_ : -EPIPE;
    if (snd_pcm_recover(pcm_, error, 1) < 0) {
        const int prepareError = snd_pcm_prepare(pcm_);
        if (prepareError < 0) {
            failure_ = "ALSA PCM \"" + printableText(pcmName_) + "\": " + snd_strerror(prepareError);
            return RingStatus::Failed;
        }
    }
    lastError_ = 0;
    transientErrors_ = 0;
    lockPending_ = false;
    // A resumed stream kept its queue; a prepared one is empty and gets a lap of
    // silence, with T placed so that the cursor stays where the feeder saw it.
    if (snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED) {
        if (queueSilentLap() != RingStatus::Ok) {
            failure_ = "ALSA PCM \"" + printableText(pcmName_) + "\": " + snd_strerror(lastError_);
            return RingStatus::Failed;
        }
        transferOffset_ = lastCursor_;
    }
    return startIfPrepared();
}

}  // namespace zimblo::output
