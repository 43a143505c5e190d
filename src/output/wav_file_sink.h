// A capture sink that writes played ring bytes to a 16-bit stereo 44100 Hz WAV
// file: a 44-byte RIFF header, then the PCM bytes as played.
//
// The header's two sizes (RIFF chunk = 36 + data bytes, data chunk = data
// bytes) are brought up to date after every write, so the file stays a valid
// WAV however the process ends. Capture stops silently at the format's limit
// of 4 GiB or at the first failed write.
#pragma once

#include <cstdint>
#include <string>

#include "output/virtual_ring_device.h"

namespace zimblo::output {

constexpr uint32_t kWavHeaderBytes = 44;

class WavFileSink final : public CaptureSink {
public:
    void setPath(const char* path);
    bool begin(const char** reason) override;
    void played(const uint8_t* bytes, uint32_t count) override;
    void end() override;
    uint32_t dataBytes() const { return dataBytes_; }

private:
    void writeSizes();

    std::string path_;
    std::string reason_;
    int file_ = -1;
    uint32_t dataBytes_ = 0;
    bool failed_ = false;
};

}  // namespace zimblo::output
