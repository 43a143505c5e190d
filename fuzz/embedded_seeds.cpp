// Adds the embedded song, compiled from its sources by the instrumented song
// compiler, to the working corpora of a fuzz run:
//   embedded_seeds songs/embedded/song.toml build-fuzz/corpus
// The song goes to the loader and listing corpora as it is, to the whole-song
// corpus behind control headers (several rates and seek times, parameters
// limited to their range), and the project with its scores to the project
// corpus. Exit status 0, or 1 when the project does not compile.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "compiler.h"
#include "fuzz_songs.h"
#include "project.h"

namespace fs = std::filesystem;
using namespace zimblo;

namespace {

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: embedded_seeds PROJECT.toml CORPUS_DIR\n");
        return 2;
    }
    const fs::path projectPath = argv[1];
    const fs::path root = argv[2];
    std::vector<uint8_t> song;
    try {
        song = songc::compileProjectFile(projectPath);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "embedded_seeds: %s\n", e.what());
        return 1;
    }
    fuzz::writeSeed(root / "song_loader", "embedded.song", song);
    fuzz::writeSeed(root / "songc_dump", "embedded.song", song);

    const fuzz::PlayControls controls[] = {
        {44100, 60000, 2048, 2048, 512, false, 0, true},
        {22050, 200000, 1024, 2048, 1000, false, 0, true},
        {8000, 345000, 2048, 1024, 128, false, 300, true},
        {fuzz::kHighestRate, 100000, 2048, 2048, 77, true, 0, true},
    };
    int n = 0;
    for (const fuzz::PlayControls& c : controls) {
        std::vector<uint8_t> input = fuzz::writePlayControls(c);
        input.insert(input.end(), song.begin(), song.end());
        fuzz::writeSeed(root / "song_play", "embedded" + std::to_string(n++) + ".bin", input);
    }

    // The project, a NUL and its scores joined into one text.
    const songc::Project project = songc::loadProject(projectPath);
    std::string text = readText(projectPath);
    text += '\0';
    for (const songc::ScoreReference& score : project.scores) text += readText(score.path) + "\n";
    fuzz::writeSeed(root / "songc_project", "embedded.bin", std::vector<uint8_t>(text.begin(), text.end()));
    std::printf("embedded_seeds: %zu song bytes from %s\n", song.size(), projectPath.c_str());
    return 0;
}
