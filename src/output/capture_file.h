// CaptureFile: the file a capture writes to, behind an interface so that a
// test can make any write fail as a full disk or a failing drive would.
//
// Every operation returns 0 or the errno value of its failure. PosixCaptureFile
// is the real thing: a file opened by path, written with write and pwrite.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zimblo::output {

class CaptureFile {
public:
    virtual ~CaptureFile() = default;
    // Opens `path` for writing: when `exclusive`, creates it and fails with
    // EEXIST if it exists; otherwise opens an existing file as it stands.
    virtual int open(const char* path, bool exclusive) = 0;
    // Appends `count` bytes; `written` says how many made it, also on failure.
    virtual int append(const uint8_t* bytes, size_t count, size_t& written) = 0;
    // Writes `count` bytes at byte `offset`, all or it fails.
    virtual int writeAt(uint64_t offset, const uint8_t* bytes, size_t count) = 0;
    // Cuts or extends the file to `size` bytes; appends go on from there.
    virtual int truncate(uint64_t size) = 0;
    virtual int close() = 0;
    // Removes the file at `path` (after close).
    virtual int remove(const char* path) = 0;
};

class PosixCaptureFile final : public CaptureFile {
public:
    int open(const char* path, bool exclusive) override;
    int append(const uint8_t* bytes, size_t count, size_t& written) override;
    int writeAt(uint64_t offset, const uint8_t* bytes, size_t count) override;
    int truncate(uint64_t size) override;
    int close() override;
    int remove(const char* path) override;

private:
    int file_ = -1;
};

}  // namespace zimblo::output
