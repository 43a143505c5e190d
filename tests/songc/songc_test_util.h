// Helpers shared by the song compiler tests: a scratch folder, running the
// command-line tools, and reading a song listing.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace zimblo::songc::test {

namespace fs = std::filesystem;

class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/zimblo-songc-test-XXXXXX";
        if (mkdtemp(pattern) != nullptr) path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const fs::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    void write(const std::string& name, const std::string& text) const {
        std::ofstream(path_ / name, std::ios::binary) << text;
    }

private:
    fs::path path_;
};

inline std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<uint8_t> readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a shell command line with its output and errors caught in `dir`.
inline RunResult run(const std::string& commandLine, const ScratchDir& dir) {
    const std::string out = dir.file("run.out");
    const std::string err = dir.file("run.err");
    const int status = std::system((commandLine + " > " + out + " 2> " + err).c_str());
    RunResult r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readText(out);
    r.err = readText(err);
    return r;
}

// The listing with every run of spaces collapsed to one, so that lines can be
// looked up without their column padding.
inline std::string squeezed(const std::string& text) {
    std::string out;
    bool space = false;
    for (char c : text) {
        if (c == ' ') {
            if (!space) out += ' ';
            space = true;
        } else {
            out += c;
            space = false;
        }
    }
    return out;
}

// The listing's event lines of one track ("tick 64 note off C4 (60)").
inline std::vector<std::string> trackLines(const std::string& listing, int track) {
    std::istringstream in(squeezed(listing));
    std::vector<std::string> lines;
    std::string line;
    bool inside = false;
    const std::string header = " track " + std::to_string(track) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(" track ", 0) == 0) {
            inside = line.rfind(header, 0) == 0;
            continue;
        }
        if (line.empty() || line[0] != ' ') inside = false;
        if (inside && line.rfind(" tick ", 0) == 0) {
            const size_t time = line.find(" @ ");  // the m:ss.mmm bar:beat column
            std::string event = line.substr(1, time == std::string::npos ? std::string::npos : time - 1);
            while (!event.empty() && event.back() == ' ') event.pop_back();
            lines.push_back(event);
        }
    }
    return lines;
}

}  // namespace zimblo::songc::test
