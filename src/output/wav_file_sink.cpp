#include "output/wav_file_sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace zimblo::output {

namespace {

constexpr uint32_t kRiffSizeOffset = 4;
constexpr uint32_t kDataSizeOffset = 40;
constexpr uint32_t kRiffHeaderRest = kWavHeaderBytes - 8;  // RIFF size counts what follows its field
constexpr uint32_t kMaxDataBytes = 0xFFFFFFFFu - kRiffHeaderRest;
constexpr uint16_t kPcmFormatTag = 1;
constexpr uint32_t kFmtChunkBytes = 16;
constexpr uint16_t kBitsPerSample = 16;

void putLittleEndian(uint8_t* at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

bool writeAll(int file, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t done = write(file, bytes, count);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        bytes += done;
        count -= static_cast<size_t>(done);
    }
    return true;
}

}  // namespace

void WavFileSink::setPath(const char* path) { path_ = path != nullptr ? path : ""; }

bool WavFileSink::begin(const char** reason) {
    end();
    dataBytes_ = 0;
    failed_ = false;
    file_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file_ < 0) {
        reason_ = "cannot create " + path_ + ": " + std::strerror(errno);
        *reason = reason_.c_str();
        return false;
    }
    std::array<uint8_t, kWavHeaderBytes> header{};
    std::memcpy(&header[0], "RIFF", 4);
    std::memcpy(&header[8], "WAVEfmt ", 8);
    putLittleEndian(&header[16], kFmtChunkBytes, 4);
    putLittleEndian(&header[20], kPcmFormatTag, 2);
    putLittleEndian(&header[22], kChannels, 2);
    putLittleEndian(&header[24], kSampleRate, 4);
    putLittleEndian(&header[28], kBytesPerSecond, 4);
    putLittleEndian(&header[32], kFrameBytes, 2);
    putLittleEndian(&header[34], kBitsPerSample, 2);
    std::memcpy(&header[36], "data", 4);
    putLittleEndian(&header[kRiffSizeOffset], kRiffHeaderRest, 4);
    if (!writeAll(file_, header.data(), header.size())) {
        reason_ = "cannot write " + path_ + ": " + std::strerror(errno);
        *reason = reason_.c_str();
        ::close(file_);
        file_ = -1;
        return false;
    }
    return true;
}

void WavFileSink::played(const uint8_t* bytes, uint32_t count) {
    if (file_ < 0 || failed_) return;
    if (count > kMaxDataBytes - dataBytes_) count = kMaxDataBytes - dataBytes_;
    if (count == 0) return;
    if (!writeAll(file_, bytes, count)) {
        failed_ = true;
        return;
    }
    dataBytes_ += count;
    writeSizes();
}

void WavFileSink::writeSizes() {
    std::array<uint8_t, 4> size{};
    putLittleEndian(size.data(), kRiffHeaderRest + dataBytes_, 4);
    ssize_t ignored = pwrite(file_, size.data(), size.size(), kRiffSizeOffset);
    putLittleEndian(size.data(), dataBytes_, 4);
    ignored = pwrite(file_, size.data(), size.size(), kDataSizeOffset);
    (void)ignored;
}

void WavFileSink::end() {
    if (file_ < 0) return;
    ::close(file_);
    file_ = -1;
}

}  // namespace zimblo::output
