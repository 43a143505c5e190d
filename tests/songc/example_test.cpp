// The example project of the README compiles, has the structure its sources
// describe, and renders to sound.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "compiler.h"
#include "song_dump.h"
#include "songc/songc_test_util.h"

namespace zimblo::songc {
namespace {

namespace fs = std::filesystem;

TEST(ExampleSong, CompilesWithItsTwoTracksAndRenders) {
    const fs::path project = fs::path(ZIMBLO_SOURCE_DIR) / "songs" / "example" / "song.toml";
    const std::vector<uint8_t> song = compileProjectFile(project);
    const std::string listing = dumpSong(song.data(), song.size(), "example");
    const std::vector<std::string> arpeggio = test::trackLines(listing, 0);
    const std::vector<std::string> bass = test::trackLines(listing, 1);
    ASSERT_GE(arpeggio.size(), 3u);
    EXPECT_EQ(arpeggio[0], "tick 0 program 0");
    EXPECT_EQ(arpeggio[1], "tick 0 cc7 110");
    EXPECT_EQ(bass[0], "tick 0 program 1");
    // Four bars each: the arpeggio's last note ends with bar 4, the tied bass note too.
    EXPECT_EQ(arpeggio.back(), "tick 1984 note off C4 (60)");
    EXPECT_EQ(bass.back(), "tick 2048 note off G1 (31)");
    EXPECT_NE(test::squeezed(listing).find("patch bank: 194 bytes, 2 programs"), std::string::npos);

    test::ScratchDir dir;
    std::ofstream(dir.path() / "example.song", std::ios::binary)
        .write(reinterpret_cast<const char*>(song.data()), static_cast<std::streamsize>(song.size()));
    const test::RunResult render = test::run(std::string(ZIMBLO_RENDER_BIN) + " --song " + dir.file("example.song") +
                                                 " --seconds 5 --quiet -o " + dir.file("example.f32"),
                                             dir);
    ASSERT_EQ(render.exitCode, 0) << render.err;
    const std::vector<uint8_t> raw = test::readBytes(dir.path() / "example.f32");
    ASSERT_EQ(raw.size(), 5u * 44100 * 2 * sizeof(float));
    // Sound in each of the first five seconds (the four bars of 4/4 at 120 per minute last 8 s).
    for (size_t second = 0; second < 5; ++second) {
        double sum = 0;
        for (size_t frame = second * 44100; frame < (second + 1) * 44100; ++frame) {
            float left;
            std::memcpy(&left, &raw[frame * 8], sizeof left);
            ASSERT_TRUE(std::isfinite(left));
            sum += double{left} * left;
        }
        EXPECT_GT(std::sqrt(sum / 44100), 0.005) << "second " << second;
    }
}

}  // namespace
}  // namespace zimblo::songc
