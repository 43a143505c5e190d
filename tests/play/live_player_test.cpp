#include "live_player.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "dsp/free_running_counter.h"
#include "player/song_format.h"
#include "player/song_writer.h"
#include "player/test_songs.h"

namespace zimblo::play {
namespace {

namespace fs = std::filesystem;
using player::test::sameFrames;

constexpr uint32_t kBlock = 1024;

// The output as the live player sees it: the test renders, and says how far the
// listener has heard.
class FakePort final : public OutputPort {
public:
    void lock() override {}
    void unlock() override {}
    int64_t heardFrames() override { return heard; }
    void setVolume(float v) override { volume = v; }
    void wake() override { ++wakes; }
    uint64_t discardQueued() override {
        ++discards;
        return discardable;
    }

    int64_t heard = 0;
    float volume = 1.0f;
    int wakes = 0;
    int discards = 0;
    uint64_t discardable = 0;  // what the next discards give up
};

// One note of `quarters` quarters on each of `channels`, at 120 bpm.
LoadedSong shortSong(const std::string& name, int channels = 1, uint32_t quarters = 1) {
    player::SongWriter w = player::test::writerWith();
    w.addTempo(0, 500000);
    for (int c = 0; c < channels; ++c) {
        w.addNoteOn(c, 0, static_cast<uint8_t>(60 + 4 * c), 100);
        w.addNoteOff(c, 128 * quarters, static_cast<uint8_t>(60 + 4 * c));
    }
    LoadedSong song;
    song.fileName = name;
    song.bytes = w.build();
    song.lengthFrames = songLengthFrames(song.bytes, kPlayRate);
    return song;
}

struct Rig {
    std::unique_ptr<player::Player> player = player::test::newPlayer();
    FakePort port;
    LivePlayer live{*player, port};
    uint64_t nowMs = 0;

    // Renders `frames` more and lets the listener hear all of it at once.
    std::vector<StereoFrame> play(uint32_t frames) {
        std::vector<StereoFrame> out(frames);
        for (uint32_t done = 0; done < frames; done += kBlock) {
            const uint32_t n = std::min(kBlock, frames - done);
            LivePlayer::renderCallback(&live, out.data() + done, n);
            port.heard += n;
            nowMs += n * 1000 / kPlayRate;
            live.poll(nowMs);
        }
        return out;
    }
    void press(Command command) { live.apply(command, nowMs); }
};

TEST(Playlist, OrderStepsAndLoop) {
    Playlist list{3, 0, false};
    EXPECT_TRUE(list.advanceAtEnd());
    EXPECT_TRUE(list.advanceAtEnd());
    EXPECT_FALSE(list.advanceAtEnd());
    EXPECT_EQ(list.current, 2);
    list.next();
    EXPECT_EQ(list.current, 0);
    list.previous();
    EXPECT_EQ(list.current, 2);
    list.loop = true;
    EXPECT_TRUE(list.advanceAtEnd());
    EXPECT_EQ(list.current, 0);
}

TEST(LivePlayer, PlaysTheListInOrderAndEndsAfterTheLast) {
    Rig rig;
    std::string error;
    ASSERT_TRUE(rig.live.begin({shortSong("one"), shortSong("two", 2)}, {}, error)) << error;
    EXPECT_EQ(rig.live.view(0).fileName, "one");
    // A quarter at 120 bpm, its release, then the quiet second: a few seconds each.
    int seconds = 0;
    while (rig.live.playlist().current == 0 && seconds++ < 10) rig.play(kPlayRate);
    EXPECT_LT(seconds, 5);
    EXPECT_EQ(rig.live.view(rig.nowMs).fileName, "two");
    EXPECT_EQ(rig.live.view(rig.nowMs).channels.size(), 2u);
    EXPECT_FALSE(rig.live.playlistEnded());
    while (!rig.live.playlistEnded() && seconds++ < 20) rig.play(kPlayRate);
    EXPECT_TRUE(rig.live.playlistEnded());
    EXPECT_EQ(rig.live.view(rig.nowMs).mode, PlayMode::Ended);

    // Looping, the list starts again; 'p' from the first goes to the last.
    Rig looping;
    PlaySettings settings;
    settings.loop = true;
    ASSERT_TRUE(looping.live.begin({shortSong("one"), shortSong("two")}, settings, error));
    looping.press({CommandKind::PreviousFile});
    EXPECT_EQ(looping.live.playlist().current, 1);
    for (int s = 0; s < 10 && looping.live.playlist().current == 1; ++s) looping.play(kPlayRate);
    EXPECT_EQ(looping.live.playlist().current, 0);
    EXPECT_FALSE(looping.live.playlistEnded());
}

TEST(LivePlayer, SeekPauseAndTheHeardPosition) {
    dsp::pinFreeRunningCounter(5);
    Rig rig;
    std::string error;
    ASSERT_TRUE(rig.live.begin({shortSong("long", 3, 40)}, {}, error));
    rig.play(kPlayRate * 5 / 2);  // 2.5 s
    EXPECT_EQ(rig.live.view(rig.nowMs).positionMs / 100, 25u);
    EXPECT_EQ(rig.live.view(rig.nowMs).bar, 2u);  // 5 quarters in: bar 2

    // → from 2.5 s lands on 12 s; what follows is the player's render from there.
    rig.press({CommandKind::Seek, 10});
    EXPECT_EQ(rig.port.wakes, 1);
    const std::vector<StereoFrame> afterSeek = rig.play(20000);
    auto reference = player::test::newPlayer();
    const LoadedSong song = shortSong("long", 3, 40);
    ASSERT_EQ(reference->open(song.bytes.data(), kPlayRate), 1u);
    reference->play(12000);
    EXPECT_TRUE(sameFrames(afterSeek, player::test::renderBlocks(*reference, 20000, 4096)));
    // The listener hears the old stream until the new one reaches them.
    rig.port.heard -= 20001;
    EXPECT_EQ(rig.live.heardPositionMs() / 1000, 2u);
    rig.port.heard += 20001;
    EXPECT_EQ(rig.live.heardPositionMs(), 12000u + 20000u * 1000 / kPlayRate);

    // ← and ↓ land on whole seconds too, add up before they are heard, and never
    // go before the start.
    rig.press({CommandKind::Seek, -1});
    rig.play(kBlock);
    EXPECT_EQ(rig.live.heardPositionMs() - kBlock * 1000 / kPlayRate, 11000u);
    rig.press({CommandKind::Seek, 10});
    rig.press({CommandKind::Seek, -1});
    rig.play(kBlock);
    EXPECT_EQ(rig.live.heardPositionMs() / 1000, 20u);
    rig.press({CommandKind::Seek, -10});
    rig.press({CommandKind::Seek, -10});
    rig.press({CommandKind::Seek, -10});
    rig.play(kBlock);
    EXPECT_LT(rig.live.heardPositionMs(), 100u);

    // Paused, the position holds and silence goes out; space resumes.
    rig.press({CommandKind::TogglePause});
    const uint64_t held = rig.live.heardPositionMs();
    const std::vector<StereoFrame> paused = rig.play(kPlayRate);
    EXPECT_EQ(player::test::peak(paused), 0.0f);
    EXPECT_EQ(rig.live.heardPositionMs(), held);
    EXPECT_EQ(rig.live.view(rig.nowMs).mode, PlayMode::Paused);
    rig.press({CommandKind::TogglePause});
    EXPECT_GT(player::test::peak(rig.play(kPlayRate)), 0.01f);
    EXPECT_GT(rig.live.heardPositionMs(), held + 900);

    // Volume steps of 10 % within 0..100 %.
    rig.press({CommandKind::Volume, 1});
    EXPECT_EQ(rig.port.volume, 1.0f);
    rig.press({CommandKind::Volume, -1});
    rig.press({CommandKind::Volume, -1});
    EXPECT_EQ(rig.port.volume, 0.8f);
    dsp::unpinFreeRunningCounter();
}

TEST(LivePlayer, ASeekGivesUpTheQueueAndTheNewRenderIsHeardAfterTheLead) {
    dsp::pinFreeRunningCounter(5);
    Rig rig;
    std::string error;
    ASSERT_TRUE(rig.live.begin({shortSong("long", 3, 40)}, {}, error));
    rig.play(kPlayRate * 2);
    const int64_t heard = rig.port.heard;
    // Rendered ahead of the listener, as the output's queue is.
    auto renderUnheard = [&](uint32_t frames) {
        std::vector<StereoFrame> out(kBlock);
        for (uint32_t done = 0; done < frames; done += kBlock) LivePlayer::renderCallback(&rig.live, out.data(), kBlock);
    };
    renderUnheard(10 * kBlock);
    // The output keeps 2000 frames of it and gives up the rest.
    rig.port.discardable = 10 * kBlock - 2000;
    const int beforeSeek = rig.port.discards;
    rig.press({CommandKind::Seek, 10});
    EXPECT_EQ(rig.port.discards, beforeSeek + 1);
    rig.port.discardable = 0;
    renderUnheard(4 * kBlock);
    // The old song up to the lead's end, the seek's target from there on.
    rig.port.heard = heard + 1999;
    EXPECT_EQ(rig.live.heardPositionMs(), 2000u + 1999u * 1000 / kPlayRate);
    rig.port.heard = heard + 2000;
    EXPECT_EQ(rig.live.heardPositionMs(), 12000u);
    rig.port.heard = heard + 2000 + kBlock;
    EXPECT_EQ(rig.live.heardPositionMs(), 12000u + kBlock * 1000 / kPlayRate);

    // A pause keeps the queue; a resume gives it up once only the pause's
    // silence is queued, not before.
    rig.port.heard = heard + 2000 + 2 * kBlock;  // two blocks still queued
    const int discards = rig.port.discards;
    rig.press({CommandKind::TogglePause});
    rig.press({CommandKind::TogglePause});
    EXPECT_EQ(rig.port.discards, discards);
    rig.press({CommandKind::TogglePause});
    rig.play(kPlayRate / 2);
    rig.press({CommandKind::TogglePause});
    EXPECT_EQ(rig.port.discards, discards + 1);
    // Restart and a song change give it up too.
    rig.press({CommandKind::Restart});
    EXPECT_EQ(rig.port.discards, discards + 2);
    rig.press({CommandKind::NextFile});
    EXPECT_EQ(rig.port.discards, discards + 3);
    dsp::unpinFreeRunningCounter();
}

TEST(LivePlayer, MuteAndSoloSilenceTheirMetersOnly) {
    std::string error;
    auto levels = [&](std::vector<Command> commands, PlaySettings settings = {}) {
        Rig rig;
        EXPECT_TRUE(rig.live.begin({shortSong("three", 3, 8)}, settings, error));
        for (const Command& c : commands) rig.press(c);
        rig.play(8192);
        std::vector<float> out;
        for (const ChannelView& c : rig.live.view(rig.nowMs).channels) out.push_back(c.level);
        return out;
    };
    const std::vector<float> all = levels({});
    ASSERT_EQ(all.size(), 3u);
    for (float level : all) EXPECT_GT(level, 0.0f);
    EXPECT_EQ(levels({{CommandKind::ToggleMute, 1}}), (std::vector<float>{all[0], 0.0f, all[2]}));
    EXPECT_EQ(levels({{CommandKind::ToggleSolo, 2}}), (std::vector<float>{0.0f, 0.0f, all[2]}));
    // Toggling twice is no mute; the options give the same as the keys.
    EXPECT_EQ(levels({{CommandKind::ToggleMute, 0}, {CommandKind::ToggleMute, 0}}), all);
    PlaySettings soloOne;
    soloOne.solos = 1u << 1;
    EXPECT_EQ(levels({}, soloOne), (std::vector<float>{0.0f, all[1], 0.0f}));
}

TEST(LivePlayer, ShowsTheLyricAndPhonemeWhileChannel15Sings) {
    // Line 1 selected by controller 4; one syllable held by a note, as songs sing.
    player::SongWriter w = player::test::writerWith();
    w.addTempo(0, 500000);
    w.addText("AA ");
    w.addText("!bAA_ !mIY_ ");
    w.addController(15, 4, 0, 1);
    w.addNoteOn(15, 32, 48, 110);
    w.addNoteOff(15, 32 + 256, 48);
    LoadedSong song;
    song.fileName = "sung";
    song.bytes = w.build();
    Rig rig;
    std::string error;
    ASSERT_TRUE(rig.live.begin({song}, {}, error)) << error;
    EXPECT_FALSE(rig.live.view(rig.nowMs).singing);
    rig.play(kPlayRate / 2);  // a quarter and a half in: the note sounds
    const ViewState v = rig.live.view(rig.nowMs);
    ASSERT_TRUE(v.singing);
    EXPECT_EQ(v.lyric, "!bAA_ !mIY_ ");
    EXPECT_GT(v.lyricPosition, 0u);
    EXPECT_TRUE(v.phoneme == "b" || v.phoneme == "aa") << v.phoneme;
    // Once the note and its release are over, no voice sounds and nothing is sung.
    for (int seconds = 0; seconds < 40 && !rig.live.playlistEnded(); ++seconds) rig.play(kPlayRate);
    EXPECT_TRUE(rig.live.playlistEnded());
    EXPECT_FALSE(rig.live.view(rig.nowMs).singing);
}

class WatchedProject : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zimblo-play-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        fs::copy_file(fs::path(ZIMBLO_SOURCE_DIR) / "songs/example/tune.score", dir / "tune.score");
        std::ifstream in(fs::path(ZIMBLO_SOURCE_DIR) / "songs/example/song.toml");
        std::stringstream text;
        text << in.rdbuf();
        project = text.str();
        write(project);
    }
    void TearDown() override { fs::remove_all(dir); }

    void write(const std::string& text) {
        // A new file under the name: its inode changes, whatever the clock's resolution.
        std::ofstream(dir / "song.new") << text;
        fs::rename(dir / "song.new", dir / "song.toml");
    }

    fs::path dir;
    std::string project;
};

TEST_F(WatchedProject, ReloadsOnChangeAndKeepsPlayingThroughACompileError) {
    LoadedSong song;
    LoadFailure failure;
    ASSERT_TRUE(loadSong((dir / "song.toml").string(), song, failure)) << failure.message;
    EXPECT_EQ(song.sources.size(), 2u);  // the project and its score
    const std::vector<uint8_t> firstBytes = song.bytes;

    Rig rig;
    PlaySettings settings;
    settings.watch = true;
    std::string error;
    ASSERT_TRUE(rig.live.begin({song}, settings, error));
    rig.play(kPlayRate);
    const uint64_t before = rig.live.heardPositionMs();

    // A faster tempo: recompiled, and on from the same place.
    std::string faster = project;
    faster.replace(faster.find("bpm = 120"), 9, "bpm = 150");
    write(faster);
    rig.play(kPlayRate / 2);
    EXPECT_EQ(rig.live.message(), "");
    EXPECT_NE(rig.player->tempoMap, nullptr);
    EXPECT_EQ(rig.player->scaledSamplesPerQuarter, kPlayRate / 100 * 400000);
    EXPECT_GE(rig.live.heardPositionMs(), before);
    EXPECT_LT(rig.live.heardPositionMs(), before + 1000);

    // A broken project: the compiler's message on screen, the song plays on.
    write(faster + "\n[song]\nticks_per_quarter = 0\n");
    rig.play(kPlayRate / 2);
    const std::string message = rig.live.message();
    EXPECT_EQ(message.rfind((dir / "song.toml").string() + ":", 0), 0u) << message;
    EXPECT_EQ(rig.live.view(rig.nowMs).message, message);
    EXPECT_GT(player::test::peak(rig.play(kPlayRate / 2)), 0.001f);
    EXPECT_EQ(rig.player->scaledSamplesPerQuarter, kPlayRate / 100 * 400000);

    // A changed score is watched as well; fixing the project clears the message.
    std::ofstream(dir / "tune.score", std::ios::app) << "\n// changed\n";
    write(project);
    rig.play(kPlayRate / 2);
    EXPECT_EQ(rig.live.message(), "");
    EXPECT_EQ(rig.player->scaledSamplesPerQuarter, kPlayRate / 100 * 500000);
}

TEST(SongLoader, DispatchesByContent) {
    const LoadedSong built = shortSong("x");
    EXPECT_EQ(songKindOf(built.bytes), SongKind::SongData);
    EXPECT_EQ(songKindOf({'[', 's', 'o', 'n', 'g', ']', '\n'}), SongKind::Project);
    EXPECT_EQ(songKindOf({0x01, 0x00, 0xFF}), SongKind::Unknown);
    EXPECT_EQ(songKindOf({}), SongKind::Unknown);

    char pattern[] = "/tmp/zimblo-play-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    LoadedSong song;
    LoadFailure failure;
    EXPECT_FALSE(loadSong((dir / "missing.song").string(), song, failure));
    EXPECT_EQ(failure.exitCode, 1);
    std::ofstream(dir / "cut.song", std::ios::binary).write(reinterpret_cast<const char*>(built.bytes.data()), 9);
    EXPECT_FALSE(loadSong((dir / "cut.song").string(), song, failure));
    EXPECT_EQ(failure.exitCode, 2);
    EXPECT_NE(failure.message.find("cut.song: neither song data ("), std::string::npos) << failure.message;
    std::ofstream(dir / "good.song", std::ios::binary)
        .write(reinterpret_cast<const char*>(built.bytes.data()), static_cast<std::streamsize>(built.bytes.size()));
    ASSERT_TRUE(loadSong((dir / "good.song").string(), song, failure));
    EXPECT_EQ(song.bytes, built.bytes);
    EXPECT_EQ(song.lengthFrames, kPlayRate / 2);  // one quarter at 120 bpm: bar 1, beat 2
    EXPECT_EQ(song.lengthBar * 10 + song.lengthBeat, 1u);

    // A type 0 MIDI file, whatever its name: one middle C for a quarter at 96 ticks per
    // quarter and the default 120 bpm, and a pitch bend the engine cannot play.
    const std::vector<uint8_t> midi = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96,
                                       'M', 'T', 'r', 'k', 0, 0, 0, 16,
                                       0x00, 0x90, 60, 100, 0x00, 0xE0, 0x00, 0x50,
                                       0x60, 0x80, 60, 0, 0x00, 0xFF, 0x2F, 0x00};
    EXPECT_EQ(songKindOf(midi), SongKind::Midi);
    std::ofstream(dir / "tune.toml", std::ios::binary)
        .write(reinterpret_cast<const char*>(midi.data()), static_cast<std::streamsize>(midi.size()));
    ASSERT_TRUE(loadSong((dir / "tune.toml").string(), song, failure)) << failure.message;
    EXPECT_EQ(player::checkSong(song.bytes.data(), song.bytes.size()), "");
    EXPECT_EQ(song.lengthFrames, kPlayRate / 2);
    ASSERT_EQ(song.warnings.size(), 1u);
    EXPECT_NE(song.warnings[0].find("pitch bend"), std::string::npos) << song.warnings[0];
    fs::remove_all(dir);
}

}  // namespace
}  // namespace zimblo::play
