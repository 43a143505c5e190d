// A song that sings: notes on channel 15 and a lyric line, written with the SongWriter,
// rendered by zimblo-render, and what the singer does to it.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "player/test_songs.h"

namespace zimblo::player {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr int kSingerTrack = 15;

// A bright saw hard left: the excitation the singer shapes. Pan 0 keeps the voice itself
// off the right side, so anything on the right of channel 15 is the singer's own output.
PatchDescription sawPatch() {
    PatchDescription p = test::sinePatch();
    p.voice[0] = 0;
    p.voice[2] = 1;   // triangle-saw
    p.voice[6] = 0;   // falling saw
    p.voice[36] = 16; // short release, so the voice is over soon after its note
    return p;
}

// Two syllables held by notes, on `track`, with line 1 selected by controller 4, speed 2 and a
// raised formant scale by controller 5. The first note comes after the sequencer has reached
// the line's leading '!': a mark waits for the next note on, not for one already played.
Bytes singingSong(int track) {
    SongWriter w = test::writerWith({sawPatch()});
    w.addTempo(0, 500000);
    w.addText("AA ");
    w.addText("!bAA_ !mIY_ ");
    w.addController(track, 4, 0, 1);
    w.addController(track, 4, 0, 65);
    w.addController(track, 5, 0, 72);
    for (uint8_t i = 0; i < 2; ++i) {
        const uint32_t start = 32u + 256u * i;
        w.addNoteOn(track, start, 48 + 5 * i, 110);
        w.addNoteOff(track, start + 192, 48 + 5 * i);
    }
    return test::builtSong(w);
}

std::vector<StereoFrame> renderWithTool(const Bytes& song, uint32_t frames) {
    char pattern[] = "/tmp/zimblo-sung-test-XXXXXX";
    const fs::path dir = mkdtemp(pattern);
    std::ofstream(dir / "sung.song", std::ios::binary)
        .write(reinterpret_cast<const char*>(song.data()), static_cast<std::streamsize>(song.size()));
    const std::string command = std::string(ZIMBLO_RENDER_BIN) + " --quiet --seed 1 --frames " +
                                std::to_string(frames) + " --song " + (dir / "sung.song").string() +
                                " -o " + (dir / "sung.f32").string();
    const int status = std::system(command.c_str());
    std::vector<StereoFrame> out;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        std::ifstream in(dir / "sung.f32", std::ios::binary);
        const Bytes raw{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        out.resize(raw.size() / sizeof(StereoFrame));
        std::memcpy(out.data(), raw.data(), out.size() * sizeof(StereoFrame));
    }
    fs::remove_all(dir);
    return out;
}

TEST(SungSong, ChannelFifteenIsSungInMonoWhereAnotherChannelIsPlainlyPlayed) {
    constexpr uint32_t kFrames = 2 * 44100;
    const std::vector<StereoFrame> sung = renderWithTool(singingSong(kSingerTrack), kFrames);
    const std::vector<StereoFrame> played = renderWithTool(singingSong(kSingerTrack - 1), kFrames);
    ASSERT_EQ(sung.size(), kFrames);
    ASSERT_EQ(played.size(), kFrames);

    // With every effect off the master chain treats both sides alike: the singer's mono output
    // comes out identical on both sides, while the plain voice stays on the left.
    EXPECT_GT(test::peak(sung), 0.01f);
    for (uint32_t i = 0; i < kFrames; ++i) ASSERT_EQ(sung[i].left, sung[i].right) << i;
    float playedRight = 0.0f;
    for (const StereoFrame& f : played) playedRight = std::max(playedRight, std::fabs(f.right));
    EXPECT_LT(playedRight, 1e-4f);
    EXPECT_GT(test::peak(played), 0.01f);
}

TEST(SungSong, MarksWaitForChannelFifteenNotesAndTheLineRunsOnWithoutVoices) {
    const Bytes song = singingSong(kSingerTrack);
    auto player = test::newPlayer();
    ASSERT_EQ(player->open(song.data(), 44100), 1u);
    player->play(0);
    const speech::LyricSequencer& lyrics = player->synth.singer.sequencer;

    // Controller 4 selected line 1 and speed 2; the sequencer waits at the leading '!'.
    const uint32_t framesPerTick = 44100 / 256;  // 500000 us per quarter, 128 ticks
    uint32_t rendered = 0;
    auto renderUntilTick = [&](uint32_t tick) {
        const uint32_t target = tick * framesPerTick;
        const std::vector<StereoFrame> out = test::renderBlocks(*player, target - rendered, 4096);
        rendered = target;
        return out;
    };
    renderUntilTick(24);
    EXPECT_EQ(lyrics.lineStart, player->texts[1]);
    EXPECT_EQ(lyrics.speed, 2);
    EXPECT_TRUE(lyrics.noteOnPause);

    // The first note (tick 32) releases it; "bAA" is sung and the '_' waits for the note off.
    renderUntilTick(100);
    EXPECT_FALSE(lyrics.noteOnPause);
    EXPECT_TRUE(lyrics.noteOffPause);

    // The note off (tick 224) releases that; a short silence and the next '!' waits again.
    renderUntilTick(272);
    EXPECT_FALSE(lyrics.noteOffPause);
    EXPECT_TRUE(lyrics.noteOnPause);
    const char* waitingAt = lyrics.position;

    // After the last note (off at tick 480) the line wraps and waits at its start; channel 15 has
    // no voice left, and then nothing of it reaches the output although the sequencer stepped on.
    renderUntilTick(620);
    std::array<uint32_t, 17> counts{};
    player->synth.voiceCounts(counts.data());
    EXPECT_EQ(counts[kSingerTrack], 0u);
    EXPECT_NE(lyrics.position, waitingAt);
    EXPECT_EQ(lyrics.position, lyrics.lineStart + 1);
    EXPECT_LT(test::peak(renderUntilTick(640)), 1e-4f);
}

}  // namespace
}  // namespace zimblo::player
