// The song compiler on an arbitrary project file: the TOML text, and after a
// NUL byte (when there is one) the text of its score. A project that parses is
// compiled whole. MIDI files it names do not exist, which must fail as an
// unreadable file.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "compiler.h"
#include "songc_support.h"

using namespace zimblo;

// Longer inputs are cut: a project compiles its whole score, so the text's
// size bounds an input's cost.
constexpr size_t kMaxInputBytes = 8192;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size = std::min(size, kMaxInputBytes);
    const char* text = reinterpret_cast<const char*>(data);
    const auto* nul = static_cast<const char*>(std::memchr(text, 0, size));
    const std::string project(text, nul != nullptr ? static_cast<size_t>(nul - text) : size);
    std::vector<songc::ScoreFile> scores;
    if (nul != nullptr) scores.push_back(songc::ScoreFile{"fuzz.score", std::string(nul + 1, text + size)});

    fuzz::expectOnlyInputErrors([&] {
        const songc::Project parsed = songc::parseProject(project, "fuzz.toml", "/nonexistent/fuzz");
        songc::compileProject(parsed, scores);
    });
    return 0;
}
