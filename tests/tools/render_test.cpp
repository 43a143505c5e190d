// zimblo-render end to end: what it writes, that it is what the Player
// renders, reproducibility, and its exit codes.

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "dsp/free_running_counter.h"
#include "player/pcm16.h"
#include "player/test_songs.h"
#ifdef ZIMBLO_HAS_EMBEDDED_SONG
#include "data/embedded_song.h"
#endif

namespace zimblo::player {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The 16-bit samples of a sound file, and its format.
std::vector<int16_t> readSound(const fs::path& path, SF_INFO& info) {
    SNDFILE* sound = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<int16_t> samples(sound ? static_cast<size_t>(info.frames * info.channels) : 0);
    if (sound) sf_readf_short(sound, samples.data(), info.frames);
    if (sound) sf_close(sound);
    return samples;
}

// Sample-and-hold LFOs make the output depend on the seed.
Bytes demoSong() {
    SongWriter w = test::writerWith({test::sampleAndHoldPatch()});
    w.addTempo(0, 371519);
    for (uint8_t i = 0; i < 12; ++i) {
        w.addNoteOn(0, 32u * i, 57 + 2 * i, 100);
        w.addNoteOff(0, 32u * i + 24, 57 + 2 * i);
        w.addController(1, 7, 32u * i, 127 - 5 * i);
    }
    w.addNoteOn(1, 16, 45, 110);
    w.addNoteOff(1, 300, 45);
    w.addText("!DHAX_ ");
    return test::builtSong(w);
}

class RenderTool : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zimblo-render-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        writeSong(demoSong());
    }
    void TearDown() override { fs::remove_all(dir); }

    void writeSong(const Bytes& bytes) const {
        std::ofstream(dir / "demo.song", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    // Runs the tool on the demo song (unless told otherwise); keeps its stderr.
    int run(const std::string& arguments, const std::string& standardOutput = "", bool withSong = true) {
        const std::string command = std::string(ZIMBLO_RENDER_BIN) + (withSong ? " --song " + path("demo.song") : "") +
                                    " " + arguments + " 2> " + path("stderr.txt") +
                                    (standardOutput.empty() ? "" : " > " + standardOutput);
        const int status = std::system(command.c_str());
        const Bytes err = readBytes(dir / "stderr.txt");
        errors.assign(err.begin(), err.end());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string path(const std::string& name) const { return (dir / name).string(); }
    bool oneLine() const { return std::count(errors.begin(), errors.end(), '\n') == 1 && errors.rfind("zimblo-render: ", 0) == 0; }

    fs::path dir;
    std::string errors;
};

TEST_F(RenderTool, WritesWhatThePlayerRendersAsFloatWavAndFlac) {
    for (const char* out : {"a.f32", "a.wav", "a.flac"})
        ASSERT_EQ(run("--frames 30000 --start-ms 250 --seed 7 --quiet -o " + path(out)), 0) << errors;
    ASSERT_EQ(run("--frames 30000 --start-ms 250 --seed 7 --quiet -o -", path("stdout.f32")), 0) << errors;
    EXPECT_EQ(errors, "");

    // The raw file holds exactly what a Player renders in-process (little-endian host).
    const Bytes rawBytes = readBytes(dir / "a.f32");
    ASSERT_EQ(rawBytes.size(), 8u * 30000u);
    std::vector<float> raw(rawBytes.size() / 4);
    std::memcpy(raw.data(), rawBytes.data(), rawBytes.size());
    const Bytes song = demoSong();
    dsp::pinFreeRunningCounter(7);
    auto player = test::newPlayer();
    ASSERT_EQ(player->open(song.data(), 44100), 1u);
    player->play(250);
    const std::vector<StereoFrame> expected = test::renderBlocks(*player, 30000, 4096);
    dsp::unpinFreeRunningCounter();
    EXPECT_EQ(std::memcmp(raw.data(), expected.data(), rawBytes.size()), 0);
    EXPECT_GT(test::peak(expected), 0.01f);
    EXPECT_EQ(readBytes(dir / "stdout.f32"), rawBytes);

    // WAV and FLAC hold the raw samples converted as the audio output converts them.
    std::vector<int16_t> converted(raw.size());
    convertToPcm16(raw.data(), converted.data(), raw.size());
    SF_INFO wav{}, flac{};
    EXPECT_EQ(readSound(dir / "a.wav", wav), converted);
    EXPECT_EQ(readSound(dir / "a.flac", flac), converted);
    EXPECT_EQ(wav.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(flac.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    EXPECT_EQ(wav.samplerate * 10 + wav.channels, 441002);  // 44100 Hz, stereo
}

TEST_F(RenderTool, BlockSizeLengthsAndSeeds) {
    // The seed decides the output; the block size never does.
    const std::string options = "--frames 20000 --quiet -o " + path("b.f32");
    ASSERT_EQ(run("--seed 11 " + options), 0);
    const Bytes whole = readBytes(dir / "b.f32");
    for (const std::string block : {"1", "333", "20000"}) {
        ASSERT_EQ(run("--seed 11 --block " + block + " " + options), 0);
        EXPECT_EQ(readBytes(dir / "b.f32"), whole) << "block " << block;
    }
    ASSERT_EQ(run("--seed 0x2f00 " + options), 0);
    EXPECT_NE(readBytes(dir / "b.f32"), whole);
    // Seconds round to the nearest frame: 0.5 s is 22050 frames, 1.00001 s 44100.
    ASSERT_EQ(run("--seconds 0.5 --quiet -o " + path("half.f32")), 0);
    EXPECT_EQ(fs::file_size(dir / "half.f32"), 8u * 22050u);
    ASSERT_EQ(run("--seconds 1.00001 --rate 22050 --quiet -o " + path("low.wav")), 0);
    SF_INFO low{};
    EXPECT_EQ(readSound(dir / "low.wav", low).size(), 2u * 22050u);
    EXPECT_EQ(low.samplerate, 22050);
    ASSERT_EQ(run("--export-song " + path("copy.song")), 0) << errors;
    EXPECT_EQ(readBytes(dir / "copy.song"), demoSong());
}

TEST_F(RenderTool, ExitCodes) {
    const std::string out = " -o " + path("x.f32");
    // Bad usage, a malformed song (cut short: one line naming the fault), I/O failures.
    const std::pair<std::string, int> failures[] = {
        {"", 2}, {"--frames 10 --seconds 1" + out, 2}, {"--frames ten" + out, 2}, {"--seconds 1.2.3" + out, 2},
        {"--block 0" + out, 2}, {"--rate 0" + out, 2}, {"--start-ms -5" + out, 2}, {"--seed 4294967296" + out, 2},
        {"--volume 3" + out, 2}, {" -o " + path("x.mp3"), 2}, {"--frames", 2}, {"--rate 96469" + out, 2},
        {"--song " + path("missing.song") + out, 1}, {"--frames 100 -o " + path("no/dir/x.f32"), 1},
        {"--frames 100 -o " + path("no/dir/x.wav"), 1}, {"--export-song " + path("no/dir/x.song"), 1},
    };
    EXPECT_EQ(run("--frames 100000 --quiet -o -", "/dev/full"), 1);  // a device that takes no bytes
    EXPECT_TRUE(oneLine()) << errors;
    for (const auto& [arguments, code] : failures) {
        EXPECT_EQ(run(arguments), code) << arguments;
        EXPECT_TRUE(oneLine()) << arguments << ": " << errors;
    }
    Bytes cut = demoSong();
    cut.resize(cut.size() - 3);
    writeSong(cut);
    EXPECT_EQ(run("-o " + path("x.wav")), 2);
    EXPECT_TRUE(oneLine()) << errors;
    EXPECT_NE(errors.find("demo.song: text block ("), std::string::npos) << errors;
    EXPECT_FALSE(fs::exists(dir / "x.wav"));
    EXPECT_FALSE(fs::exists(dir / "x.f32"));
#ifdef ZIMBLO_HAS_EMBEDDED_SONG
    // Without a song file the embedded song is the one rendered and exported.
    EXPECT_EQ(run("--frames 1000 --export-song " + path("embedded.song") + out, "", false), 0) << errors;
    EXPECT_EQ(readBytes(dir / "embedded.song"),
              Bytes(data::kEmbeddedSong, data::kEmbeddedSong + data::kEmbeddedSongSize));
#else
    EXPECT_EQ(run(out, "", false), 2);  // no song
#endif
    ASSERT_EQ(run("--help", path("help.txt"), false), 0);
    EXPECT_EQ(readBytes(dir / "help.txt").at(0), 'u');
}

}  // namespace
}  // namespace zimblo::player
