#include "file_watch.h"

#include <sys/stat.h>

namespace zimblo::play {

void FileWatch::watch(const std::vector<std::filesystem::path>& files) {
    files_ = files;
    stamps_.clear();
    for (const auto& file : files_) stamps_.push_back(stampOf(file));
}

bool FileWatch::changed() {
    bool any = false;
    for (size_t i = 0; i < files_.size(); ++i) {
        const Stamp now = stampOf(files_[i]);
        if (!(now == stamps_[i])) {
            stamps_[i] = now;
            any = true;
        }
    }
    return any;
}

FileWatch::Stamp FileWatch::stampOf(const std::filesystem::path& file) {
    struct stat info{};
    if (stat(file.c_str(), &info) != 0) return Stamp{};
    return Stamp{true, static_cast<int64_t>(info.st_mtim.tv_sec), static_cast<int64_t>(info.st_mtim.tv_nsec),
                 static_cast<int64_t>(info.st_size), static_cast<uint64_t>(info.st_ino)};
}

}  // namespace zimblo::play
