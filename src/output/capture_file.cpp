#include "output/capture_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace zimblo::output {

int PosixCaptureFile::open(const char* path, bool exclusive) {
    close();
    const int flags = O_WRONLY | O_CLOEXEC | (exclusive ? O_CREAT | O_EXCL : 0);
    file_ = ::open(path, flags, 0644);
    return file_ >= 0 ? 0 : errno;
}

int PosixCaptureFile::append(const uint8_t* bytes, size_t count, size_t& written) {
    written = 0;
    if (file_ < 0) return EBADF;
    while (written < count) {
        const ssize_t done = write(file_, bytes + written, count - written);
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) return errno;
        if (done == 0) return EIO;
        written += static_cast<size_t>(done);
    }
    return 0;
}

int PosixCaptureFile::writeAt(uint64_t offset, const uint8_t* bytes, size_t count) {
    if (file_ < 0) return EBADF;
    size_t written = 0;
    while (written < count) {
        const ssize_t done = pwrite(file_, bytes + written, count - written, static_cast<off_t>(offset + written));
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) return errno;
        if (done == 0) return EIO;
        written += static_cast<size_t>(done);
    }
    return 0;
}

int PosixCaptureFile::truncate(uint64_t size) {
    if (file_ < 0) return EBADF;
    if (ftruncate(file_, static_cast<off_t>(size)) != 0) return errno;
    return lseek(file_, static_cast<off_t>(size), SEEK_SET) < 0 ? errno : 0;
}

int PosixCaptureFile::close() {
    if (file_ < 0) return 0;
    const int result = ::close(file_) == 0 ? 0 : errno;
    file_ = -1;
    return result;
}

int PosixCaptureFile::remove(const char* path) { return unlink(path) == 0 ? 0 : errno; }

}  // namespace zimblo::output
