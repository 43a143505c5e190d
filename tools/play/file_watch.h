// FileWatch: tells when any of a set of files has changed on disk.
//
// Each file's modification time (to the nanosecond), size and inode are
// remembered; a change in any of them, or a file appearing or vanishing,
// counts. Polled, so that it works on every file system; the player polls
// four times a second.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace zimblo::play {

class FileWatch {
public:
    // Starts watching these files as they are now.
    void watch(const std::vector<std::filesystem::path>& files);
    // True once when something changed since watch() or the last true.
    bool changed();

private:
    struct Stamp {
        bool exists = false;
        int64_t seconds = 0;
        int64_t nanoseconds = 0;
        int64_t size = 0;
        uint64_t inode = 0;
        bool operator==(const Stamp&) const = default;
    };
    static Stamp stampOf(const std::filesystem::path& file);

    std::vector<std::filesystem::path> files_;
    std::vector<Stamp> stamps_;
};

}  // namespace zimblo::play
