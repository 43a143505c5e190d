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

Bytes demoSong(bool sampleAndHold = false) {
    SongWriter w = test::writerWith({sampleAndHold ? test::sampleAndHoldPatch() : test::sinePatch()});
    w.addTempo(0, 371519);
    for (uint8_t i = 0; i < 12; ++i) {
        w.addNoteOn(0, 32u * i, 57 + 2 * i, 100);
        w.addNoteOff(0, 32u * i + 24, 57 + 2 * i);
        w.addController(1, 7, 32u * i, 127 - 5 * i);
    }
    w.addNoteOn(1, 16, 45, 110);
    w.addNoteOff(1, 300, 45);
    w.addText("!DHAX_ ");
    return w.build();
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
        std::string command = std::string(ZIMBLO_RENDER_BIN) + (withSong ? " --song " + path("demo.song") : "") +
                              " " + arguments + " 2> " + path("stderr.txt");
        if (!standardOutput.empty()) command += " > " + standardOutput;
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
    const std::string options = "--frames 30000 --start-ms 250 --seed 7 --quiet ";
    ASSERT_EQ(run(options + "-o " + path("a.f32")), 0) << errors;
    ASSERT_EQ(run(options + "-o " + path("a.wav")), 0) << errors;
    ASSERT_EQ(run(options + "-o " + path("a.flac")), 0) << errors;
    ASSERT_EQ(run(options + "-o -", path("stdout.f32")), 0) << errors;
    EXPECT_EQ(errors, "");

    // The raw file holds exactly what a Player renders in-process (little-endian host).
    const Bytes rawBytes = readBytes(dir / "a.f32");
    std::vector<float> raw(rawBytes.size() / 4);
    std::memcpy(raw.data(), rawBytes.data(), rawBytes.size());
    ASSERT_EQ(raw.size(), 2u * 30000u);
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
    EXPECT_EQ(wav.samplerate, 44100);
    EXPECT_EQ(wav.channels, 2);
}

TEST_F(RenderTool, BlockSizeLengthsAndSeeds) {
    ASSERT_EQ(run("--frames 20000 --seed 3 --quiet -o " + path("whole.f32")), 0);
    for (const char* block : {"1", "333", "20000"}) {
        ASSERT_EQ(run("--frames 20000 --seed 3 --quiet --block " + std::string(block) + " -o " + path("b.f32")), 0);
        EXPECT_EQ(readBytes(dir / "b.f32"), readBytes(dir / "whole.f32")) << "block " << block;
    }
    // Seconds round to the nearest frame: 0.5 s is 22050 frames, 1.00001 s 44100.
    ASSERT_EQ(run("--seconds 0.5 --quiet -o " + path("half.f32")), 0);
    EXPECT_EQ(fs::file_size(dir / "half.f32"), 8u * 22050u);
    ASSERT_EQ(run("--seconds 1.00001 --rate 22050 --quiet -o " + path("low.wav")), 0);
    SF_INFO low{};
    EXPECT_EQ(readSound(dir / "low.wav", low).size(), 2u * 22050u);
    EXPECT_EQ(low.samplerate, 22050);

    // With sample-and-hold LFOs the seed decides the output.
    writeSong(demoSong(true));
    for (const char* name : {"s1.f32", "s2.f32"}) ASSERT_EQ(run("--frames 20000 --seed 11 --quiet -o " + path(name)), 0);
    ASSERT_EQ(run("--frames 20000 --seed 0x2f00 --quiet -o " + path("s3.f32")), 0);
    EXPECT_EQ(readBytes(dir / "s1.f32"), readBytes(dir / "s2.f32"));
    EXPECT_NE(readBytes(dir / "s1.f32"), readBytes(dir / "s3.f32"));

    ASSERT_EQ(run("--export-song " + path("copy.song")), 0) << errors;
    EXPECT_EQ(readBytes(dir / "copy.song"), demoSong(true));
}

TEST_F(RenderTool, ExitCodes) {
    const std::string out = " -o " + path("x.f32");
    for (const std::string& bad : {std::string(""), "--frames 10 --seconds 1" + out, "--frames ten" + out,
                                   "--seconds 1.2.3" + out, "--block 0" + out, "--rate 0" + out,
                                   "--start-ms -5" + out, "--seed 4294967296" + out, "--volume 3" + out,
                                   " -o " + path("x.mp3"), std::string("--frames"), "--rate 96469" + out}) {
        EXPECT_EQ(run(bad), 2) << bad;
        EXPECT_TRUE(oneLine()) << bad << ": " << errors;
    }
#ifdef ZIMBLO_HAS_EMBEDDED_SONG
    // Without a song file the embedded song is the one rendered and exported.
    EXPECT_EQ(run("--frames 1000 --export-song " + path("embedded.song") + out, "", false), 0) << errors;
    EXPECT_EQ(readBytes(dir / "embedded.song"),
              Bytes(data::kEmbeddedSong, data::kEmbeddedSong + data::kEmbeddedSongSize));
    fs::remove(dir / "x.f32");
#else
    EXPECT_EQ(run(out, "", false), 2);  // no song
#endif
    EXPECT_FALSE(fs::exists(dir / "x.f32"));
    ASSERT_EQ(run("--help", path("help.txt"), false), 0);
    EXPECT_EQ(readBytes(dir / "help.txt").at(0), 'u');

    // A malformed song: one line naming the fault.
    Bytes cut = demoSong();
    cut.resize(cut.size() - 3);
    writeSong(cut);
    EXPECT_EQ(run("-o " + path("x.wav")), 2);
    EXPECT_TRUE(oneLine()) << errors;
    EXPECT_NE(errors.find("demo.song: text block ("), std::string::npos) << errors;
    EXPECT_FALSE(fs::exists(dir / "x.wav"));

    // I/O failures: a missing song, an output nobody can create, a device that takes no bytes.
    writeSong(demoSong());
    EXPECT_EQ(run("--song " + path("missing.song") + out, "", false), 1);
    EXPECT_TRUE(oneLine()) << errors;
    for (const char* name : {"no/dir/x.f32", "no/dir/x.wav"}) {
        EXPECT_EQ(run("--frames 100 -o " + path(name)), 1) << name;
        EXPECT_TRUE(oneLine()) << errors;
    }
    EXPECT_EQ(run("--export-song " + path("no/dir/x.song")), 1);
    EXPECT_EQ(run("--frames 100000 --quiet -o -", "/dev/full"), 1);
    EXPECT_TRUE(oneLine()) << errors;
}

}  // namespace
}  // namespace zimblo::player
