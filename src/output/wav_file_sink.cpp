#include "output/wav_file_sink.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "output/printable_text.h"

namespace zimblo::output {

namespace {

constexpr uint32_t kRiffSizeOffset = 4;
constexpr uint32_t kDataSizeOffset = 40;
constexpr uint32_t kRiffHeaderRest = kWavHeaderBytes - 8;  // RIFF size counts what follows its field
// The largest whole-frame data size whose RIFF size still fits 32 bits.
constexpr uint32_t kMaxDataBytes = (0xFFFFFFFFu - kRiffHeaderRest) / kFrameBytes * kFrameBytes;
constexpr uint16_t kPcmFormatTag = 1;
constexpr uint32_t kFmtChunkBytes = 16;
constexpr uint16_t kBitsPerSample = 16;

void putLittleEndian(uint8_t* at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

std::array<uint8_t, kWavHeaderBytes> wavHeader(uint32_t dataBytes) {
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
    putLittleEndian(&header[kRiffSizeOffset], kRiffHeaderRest + dataBytes, 4);
    putLittleEndian(&header[kDataSizeOffset], dataBytes, 4);
    return header;
}

}  // namespace

void WavFileSink::setPath(const char* path) { path_ = path != nullptr ? path : ""; }

void WavFileSink::setFile(CaptureFile* file) { file_ = file != nullptr ? file : &posixFile_; }

int WavFileSink::writeHeader() {
    const auto header = wavHeader(dataBytes_);
    const int error = file_->writeAt(0, header.data(), header.size());
    if (error == 0) headerDataBytes_ = dataBytes_;
    // A pipe or a terminal keeps the header it was given first.
    if (error == ESPIPE) {
        seekable_ = false;
        return 0;
    }
    return error;
}

bool WavFileSink::begin(const char** reason) {
    end();
    dataBytes_ = 0;
    headerDataBytes_ = 0;
    stopped_ = false;
    seekable_ = true;
    const auto fail = [&](const char* what, int error, bool created) {
        file_->close();
        if (created) file_->remove(path_.c_str());
        reason_ = std::string(what) + " " + printableText(path_) + ": " + std::strerror(error);
        *reason = reason_.c_str();
        return false;
    };

    // A new file, or else the existing one, emptied only once its new header
    // is in place.
    int error = file_->open(path_.c_str(), true);
    const bool created = error == 0;
    if (error == EEXIST) error = file_->open(path_.c_str(), false);
    if (error != 0) return fail("cannot create", error, false);

    const auto header = wavHeader(0);
    size_t written = 0;
    if ((error = file_->append(header.data(), header.size(), written)) != 0) return fail("cannot write", error, created);
    // Not a regular file (a pipe, a device): there is nothing to cut.
    if (!created && (error = file_->truncate(kWavHeaderBytes)) != 0 && error != EINVAL)
        return fail("cannot write", error, false);
    open_ = true;
    return true;
}

void WavFileSink::stopAfter(const char* what, int error) {
    stopped_ = true;
    dataBytes_ -= dataBytes_ % kFrameBytes;
    int repairError = seekable_ ? file_->truncate(kWavHeaderBytes + uint64_t{dataBytes_}) : 0;
    if (repairError == EINVAL) repairError = 0;
    if (repairError == 0 && seekable_) repairError = writeHeader();
    if (repairError != 0 && seekable_) {
        // The header on disk stays as it was: the file is cut to match it.
        dataBytes_ = headerDataBytes_;
        file_->truncate(kWavHeaderBytes + uint64_t{dataBytes_});
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", static_cast<double>(dataBytes_) / kBytesPerSecond);
    std::string line = "capture to " + printableText(path_) + " stopped after " + seconds + " s: " + what;
    if (error != 0) line += std::string(": ") + std::strerror(error);
    if (repairError != 0)
        line += std::string("; the header could not be updated (") + std::strerror(repairError) + "), the file ends where it last was";
    line += "; playing on without capture";
    report_(line);
}

void WavFileSink::played(const uint8_t* bytes, uint32_t count) {
    if (!open_ || stopped_ || count == 0) return;
    const bool atLimit = count > kMaxDataBytes - dataBytes_;
    if (atLimit) count = kMaxDataBytes - dataBytes_;
    size_t written = 0;
    const int error = file_->append(bytes, count, written);
    dataBytes_ += static_cast<uint32_t>(written);
    if (error != 0) return stopAfter("write failed", error);
    if (seekable_) {
        if (const int headerError = writeHeader(); headerError != 0) return stopAfter("header update failed", headerError);
    }
    if (atLimit) stopAfter("the WAV format's 4 GiB limit is reached", 0);
}

void WavFileSink::end() {
    if (!open_) return;
    open_ = false;
    if (const int error = file_->close(); error != 0 && !stopped_) {
        report_("capture to " + printableText(path_) + " may be incomplete: closing it failed: " + std::strerror(error));
    }
}

}  // namespace zimblo::output
