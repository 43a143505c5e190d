// A capture sink that writes played ring bytes to a 16-bit stereo 44100 Hz WAV
// file: a 44-byte RIFF header, then the PCM bytes as played.
//
// The header's two sizes (RIFF chunk = 36 + data bytes, data chunk = data
// bytes) are brought up to date after every write, many times a second, so
// the file stays a valid WAV however the process ends.
//
// Every write is checked. On a failure (a full disk, an I/O error, the
// file-size limit) the file is cut back to the whole frames written, the
// header is made to match them (or, when the header cannot be written, the
// file is cut back to what its header says), one line names the file and the error, and
// capture stops while playback goes on. At the format's limit of 4 GiB the
// capture stops the same way. A file that cannot be set up at begin is
// removed again when begin created it; an existing file is only emptied once
// its new header is in place. Bytes go through an injectable CaptureFile.
#pragma once

#include <cstdint>
#include <string>

#include "output/capture_file.h"
#include "output/output_report.h"
#include "output/virtual_ring_device.h"

namespace zimblo::output {

constexpr uint32_t kWavHeaderBytes = 44;

class WavFileSink final : public CaptureSink {
public:
    void setPath(const char* path);
    // Before begin. A null file means the real file system.
    void setFile(CaptureFile* file);
    void setReport(const OutputReport& report) { report_ = report; }

    bool begin(const char** reason) override;
    void played(const uint8_t* bytes, uint32_t count) override;
    void end() override;
    uint32_t dataBytes() const { return dataBytes_; }
    bool capturing() const { return open_ && !stopped_; }

private:
    int writeHeader();
    // Ends the capture after `error`: whole frames kept, header matching, one line.
    void stopAfter(const char* what, int error);

    std::string path_;
    std::string reason_;
    PosixCaptureFile posixFile_;
    CaptureFile* file_ = &posixFile_;
    OutputReport report_;
    bool open_ = false;
    bool stopped_ = false;
    bool seekable_ = true;
    uint32_t dataBytes_ = 0;
    uint32_t headerDataBytes_ = 0;  // what the header on disk says
};

}  // namespace zimblo::output
