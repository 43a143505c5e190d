// The compiler as a whole: a project round-trips through the song bytes (the
// checked loader opens them, the listing shows the events written), events at
// one tick are ordered and merged, the format's limits are refused, and the
// command line's outputs and exit codes.

#include "compiler.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "player/player.h"
#include "player/song_format.h"
#include "song_dump.h"
#include "songc/midi_bytes.h"
#include "songc/songc_test_util.h"

namespace zimblo::songc {
namespace {

using test::ScratchDir;
namespace fs = std::filesystem;

const char* const kTwoPatches = R"(
[[patch]]
name = "keys"
routes = [ { source = "cc7", amount = 127, destination = "channel.volume" } ]
[patch.channel]
volume = 0
[[patch]]
name = "bass"
voices = 1
)";

std::vector<uint8_t> compileText(const std::string& toml, const std::string& score) {
    const Project project = parseProject(toml, "song.toml", ".");
    return compileProject(project, {ScoreFile{"a.score", score}});
}

std::string errorOf(const std::string& toml, const std::string& score) {
    try {
        compileText(toml, score);
    } catch (const InputError& e) {
        return e.what();
    }
    return "(no error)";
}

SongEvent event(uint64_t tick, int track, EventKind kind, int value1, int lane = 0) {
    SongEvent e;
    e.tick = tick;
    e.track = track;
    e.kind = kind;
    e.value1 = static_cast<uint8_t>(value1);
    e.lane = lane;
    return e;
}

TEST(CompilerRoundTrip, TheLoaderOpensTheSongAndTheListingShowsItsEvents) {
    const std::string toml = std::string(kTwoPatches) + R"(
[song]
texts = ["!hEH_ !lOW_ "]
[[tempo]]
microseconds_per_quarter = 371519
[effects]
extra_bytes = [0]
)";
    const std::string score = R"(
track 0
  program=keys program=keys cc7=100
  C4:8@90 [E4 G4]:4 r:8 step=16 cc7=90>60:4 A4:4
end
track 3
  program=bass bend=8292 C2:1
end
)";
    const std::vector<uint8_t> song = compileText(toml, score);
    EXPECT_EQ(player::checkSong(song.data(), song.size()), "");
    auto p = std::make_unique<player::Player>();
    std::string problem;
    EXPECT_EQ(p->openChecked(song.data(), song.size(), 44100, &problem), 1u) << problem;
    p->close();

    const std::string listing = dumpSong(song.data(), song.size(), "x.song");
    const std::vector<std::string> track0 = test::trackLines(listing, 0);
    const std::vector<std::string> expected0 = {
        "tick 0 program 0",       "tick 0 program 0",       "tick 0 cc7 100",
        "tick 0 note on C4 (60) velocity 90",
        "tick 64 note off C4 (60)", "tick 64 note on E4 (64) velocity 90", "tick 64 note on G4 (67) velocity 90",
        "tick 192 note off E4 (64)", "tick 192 note off G4 (67)",
        "tick 256 cc7 90", "tick 256 note on A4 (69) velocity 90",
        "tick 288 cc7 82", "tick 320 cc7 75", "tick 352 cc7 67", "tick 384 cc7 60",
        "tick 384 note off A4 (69)"};
    EXPECT_EQ(track0, expected0);
    EXPECT_EQ(test::trackLines(listing, 3),
              (std::vector<std::string>{"tick 0 program 1", "tick 0 bend 100 64 (8292)", "tick 0 note on C2 (36) velocity 100",
                                        "tick 512 note off C2 (36)"}));
    const std::string flat = test::squeezed(listing);
    for (const char* line : {"ticks per quarter 128", "song length 512 ticks",
                             "tick 0 371519 us per quarter (161.499 per minute), 4/4, third byte 8",
                             "track 0: notes 8, program 2, pitch bend 0, cc1 0, cc2 0, cc3 0, cc4 0, cc5 0, cc6 0, cc7 6",
                             "track 1: empty", "effect block: 23 bytes", "g12 master.high_cut 127",
                             "g13 dynamics.kind off (0)", "g22 (not read) 0", "patch bank: 191 bytes, 2 programs",
                             "program 1 (offset 101): voice limit 1, 0 routes",
                             "route 0: cc7 -> channel.volume, amount 127 (+0.984375)",
                             "osc1 waveform trisaw (1), multiply false (0), transpose 64", "0: \"!hEH_ !lOW_ \""})
        EXPECT_NE(flat.find(line), std::string::npos) << line;
}

TEST(CompilerOrdering, NoteOffsFirstLastControllerValueWinsProgramsAllKept) {
    const std::vector<SongEvent> ordered = orderEvents({
        event(10, 0, EventKind::NoteOn, 60),
        event(10, 0, EventKind::NoteOff, 60),
        event(10, 0, EventKind::Controller, 5, 7),
        event(10, 0, EventKind::Controller, 6, 7),
        event(10, 1, EventKind::Controller, 7, 7),  // another track: kept
        event(10, 0, EventKind::Controller, 8, 1),  // another lane: kept
        event(0, 0, EventKind::Program, 3),
        event(0, 0, EventKind::Program, 3),
    });
    ASSERT_EQ(ordered.size(), 7u);
    EXPECT_EQ(ordered[0].kind, EventKind::Program);
    EXPECT_EQ(ordered[1].kind, EventKind::Program);
    EXPECT_EQ(ordered[2].kind, EventKind::NoteOff);  // before the note on it came after
    EXPECT_EQ(ordered[3].kind, EventKind::NoteOn);
    std::vector<int> lane7;
    for (const SongEvent& e : ordered)
        if (e.kind == EventKind::Controller && e.lane == 7 && e.track == 0) lane7.push_back(e.value1);
    EXPECT_EQ(lane7, (std::vector<int>{6}));

    // A repeated note: the release of the first sounds before the second starts.
    const std::string listing = [] {
        const std::vector<uint8_t> song = compileText(kTwoPatches, "track 0\n C4:8 C4:8\nend\n");
        return dumpSong(song.data(), song.size(), "x");
    }();
    EXPECT_EQ(test::trackLines(listing, 0),
              (std::vector<std::string>{"tick 0 note on C4 (60) velocity 100", "tick 64 note off C4 (60)",
                                        "tick 64 note on C4 (60) velocity 100", "tick 128 note off C4 (60)"}));
}

TEST(CompilerLimits, StepBytesGapsAndTracksWithoutNotes) {
    // Program, two controllers and two notes of one track at one tick: 2 + (1 + 2·2) + (1 + 2·2) + terminator.
    EXPECT_EQ(largestStepBytes(orderEvents({event(0, 0, EventKind::Program, 0), event(0, 0, EventKind::Controller, 1, 1),
                                            event(0, 0, EventKind::Controller, 1, 7), event(0, 0, EventKind::NoteOn, 60),
                                            event(0, 0, EventKind::NoteOn, 64), event(5, 1, EventKind::NoteOn, 64)})),
              13u);

    // All 128 notes on 16 tracks at once: 16 · (1 + 2·128) + 1 = 4113 bytes, above the 4096 of a step.
    std::string chord = "[";
    for (int n = 0; n < 128; ++n) chord += (n ? " " : "") + std::string(noteName(n));
    chord += "]";
    std::string score;
    for (int t = 0; t < 16; ++t) score += "track " + std::to_string(t) + "\n " + chord + "\nend\n";
    EXPECT_NE(errorOf(kTwoPatches, score).find("the events at tick 0 need 4113 bytes in one player step, which holds 4096"),
              std::string::npos);
    // 15 tracks fit (3856 bytes).
    score.clear();
    for (int t = 0; t < 15; ++t) score += "track " + std::to_string(t) + "\n " + chord + "\nend\n";
    EXPECT_EQ(errorOf(kTwoPatches, score), "(no error)");

    // A track with controllers but no notes compiles; its events are dropped with a warning.
    Warnings warnings;
    const std::vector<uint8_t> song = compileProject(parseProject(kTwoPatches, "song.toml", "."),
                                                     {ScoreFile{"a.score", "track 0\n C4\nend\ntrack 2\n cc7=100 cc1=3\nend\n"}}, &warnings);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].find("a.score:5:2: track 2 has 2 program, controller or pitch-bend events but no notes; they are dropped"), 0u)
        << warnings[0];
    EXPECT_NE(dumpSong(song.data(), song.size(), "x").find("track 2: empty"), std::string::npos);
    // Bar 40001 lies 40000 · 512 ticks in; the note lane last moved at tick 128.
    EXPECT_NE(errorOf(kTwoPatches, "track 0\n C4 at 40001 C4\nend\n")
                  .find("a.score:2:14: track 0 note lane: the gap of 20479872 ticks before this event exceeds"),
              std::string::npos);
    EXPECT_NE(errorOf("", "track 0\n program=0 C4\nend\n").find("program 0 is not in the patch bank (the bank is empty)"),
              std::string::npos);
}

class CompilerCommand : public ::testing::Test {
protected:
    void SetUp() override {
        dir.write("song.toml", std::string("[song]\nscores = [\"a.score\"]\n") + kTwoPatches);
        dir.write("a.score", "track 0\n program=keys cc7=100 C4 D4 E4 F4 |\nend\n");
    }
    test::RunResult songc(const std::string& arguments) { return test::run(std::string(ZIMBLO_SONGC_BIN) + " " + arguments, dir); }
    ScratchDir dir;
};

TEST_F(CompilerCommand, CompilesListsAndWritesTheCppSource) {
    const test::RunResult ok = songc(dir.file("song.toml") + " -o " + dir.file("out.song") + " --cpp " + dir.file("out.cpp"));
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    const std::vector<uint8_t> song = test::readBytes(dir.path() / "out.song");
    EXPECT_EQ(player::checkSong(song.data(), song.size()), "");
    const std::string source = test::readText(dir.path() / "out.cpp");
    EXPECT_NE(source.find("const uint8_t kEmbeddedSong[] = {"), std::string::npos);
    EXPECT_NE(source.find("kEmbeddedSongSize = sizeof(kEmbeddedSong)"), std::string::npos);
    size_t bytes = 0;
    for (size_t at = source.find(" 0x"); at != std::string::npos; at = source.find(" 0x", at + 1)) ++bytes;
    EXPECT_EQ(bytes, song.size());  // one 0x.. per byte

    const test::RunResult listing = songc("--dump " + dir.file("out.song"));
    EXPECT_EQ(listing.exitCode, 0) << listing.err;
    EXPECT_NE(test::squeezed(listing.out).find("tick 384 note on F4 (65) velocity 100"), std::string::npos);

    const test::RunResult help = songc("--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: zimblo-songc PROJECT.toml -o OUT.song"), std::string::npos);
}

TEST_F(CompilerCommand, BadInputExitsTwoAndWritesNothing) {
    dir.write("out.song", "old");
    dir.write("a.score", "track 0\n C4 D4 |\nend\n");
    const test::RunResult bad = songc(dir.file("song.toml") + " -o " + dir.file("out.song") + " --cpp " + dir.file("out.cpp"));
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_EQ(bad.err, dir.file("a.score") + ":2:8: bar check: tick 256 is not on a bar line of the song\n");
    EXPECT_EQ(test::readText(dir.path() / "out.song"), "old");
    EXPECT_FALSE(fs::exists(dir.path() / "out.cpp"));
    EXPECT_FALSE(fs::exists(dir.path() / "out.song.partial"));

    dir.write("bad.toml", "[song]\nticks_per_quarter = \"many\"\n");
    const test::RunResult toml = songc(dir.file("bad.toml") + " -o " + dir.file("x.song"));
    EXPECT_EQ(toml.exitCode, 2);
    EXPECT_EQ(toml.err.rfind(dir.file("bad.toml") + ":2:21: ticks_per_quarter must be a whole number", 0), 0u) << toml.err;
    EXPECT_FALSE(fs::exists(dir.path() / "x.song"));

    // A truncated song is refused by the listing with its byte offset.
    const std::vector<uint8_t> song = compileText(kTwoPatches, "track 0\n C4\nend\n");
    std::ofstream(dir.path() / "cut.song", std::ios::binary).write(reinterpret_cast<const char*>(song.data()), 40);
    const test::RunResult cut = songc("--dump " + dir.file("cut.song"));
    EXPECT_EQ(cut.exitCode, 2);
    EXPECT_NE(cut.err.find("at offset"), std::string::npos) << cut.err;
    EXPECT_NE(cut.err.find("runs past the end of the data (40 bytes)"), std::string::npos) << cut.err;

    const std::vector<std::string> usages = {"", "--frobnicate", dir.file("song.toml"),
                                             "--dump " + dir.file("cut.song") + " -o x", "a.toml b.toml -o c"};
    for (const std::string& usage : usages) {
        const test::RunResult r = songc(usage);
        EXPECT_EQ(r.exitCode, 2) << usage;
        EXPECT_NE(r.err.find("(see --help)"), std::string::npos) << usage << ": " << r.err;
    }
}

TEST_F(CompilerCommand, MidiFilesCompileDirectlyAndOtherFilesAreRecognised) {
    ASSERT_EQ(songc(dir.file("song.toml") + " -o " + dir.file("a.song")).exitCode, 0);
    // A compiled song or a MIDI file where a project is expected says what it is.
    std::filesystem::copy_file(dir.file("a.song"), dir.file("b.toml"));
    const test::RunResult asSong = songc(dir.file("b.toml") + " -o " + dir.file("c.song"));
    EXPECT_EQ(asSong.exitCode, 2);
    EXPECT_NE(asSong.err.find("b.toml: this is a compiled song file, not a TOML project"), std::string::npos) << asSong.err;
    test::MidiTrackBytes t;
    t.on(0, 0, 60, 100).event(0, {0xE0, 0, 70}).off(96, 0, 60);
    const std::vector<uint8_t> midi = test::midiFile(0, 96, {t.chunk()});
    std::ofstream(dir.file("m.toml"), std::ios::binary).write(reinterpret_cast<const char*>(midi.data()), static_cast<std::streamsize>(midi.size()));
    // Named .toml but a MIDI file by content: compiled as one, with its warning line.
    const test::RunResult direct = songc(dir.file("m.toml") + " -o " + dir.file("m.song"));
    EXPECT_EQ(direct.exitCode, 0) << direct.err;
    EXPECT_EQ(direct.err, "warning: " + dir.file("m.toml") + ": 1 pitch bends dropped: the engine does not bend pitch\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("c.song")));
    // The output may not overwrite the input.
    const test::RunResult same = songc(dir.file("m.toml") + " -o " + dir.file("m.toml"));
    EXPECT_EQ(same.exitCode, 2);
    EXPECT_EQ(test::readBytes(dir.file("m.toml")), midi);
}

TEST_F(CompilerCommand, UnreadableFilesExitOne) {
    const test::RunResult output = songc(dir.file("song.toml") + " -o /nonexistent/dir/x.song");
    EXPECT_EQ(output.exitCode, 1);
    EXPECT_NE(output.err.find("/nonexistent/dir/x.song: cannot create the file"), std::string::npos) << output.err;
    const test::RunResult missing = songc(dir.file("none.toml") + " -o " + dir.file("x.song"));
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("cannot open the project file"), std::string::npos);
    dir.write("song.toml", "[song]\nscores = [\"gone.score\"]\n");
    const test::RunResult score = songc(dir.file("song.toml") + " -o " + dir.file("x.song"));
    EXPECT_EQ(score.exitCode, 1);
    EXPECT_NE(score.err.find(":2:11: score file gone.score: cannot open"), std::string::npos) << score.err;
    const test::RunResult dump = songc("--dump " + dir.file("none.song"));
    EXPECT_EQ(dump.exitCode, 1);
}

TEST(CompilerBank, LibraryPatchesTakeProgramsWhenScoresNameThem) {
    Warnings warnings;
    const std::string score = "track 0\n program=keys C4\nend\ntrack 1\n program=gm:cello C3 program=gm:flute C5"
                              " program=gm:cello D3\nend\n";
    const std::vector<uint8_t> song = compileProject(parseProject(kTwoPatches, "song.toml", "."), {ScoreFile{"a.score", score}}, &warnings);
    const std::string listing = test::squeezed(dumpSong(song.data(), song.size(), "x"));
    // The two numbered patches keep 0 and 1; cello and flute follow in order of first use, once each.
    EXPECT_NE(listing.find(" bytes, 4 programs"), std::string::npos);
    EXPECT_EQ(test::trackLines(dumpSong(song.data(), song.size(), "x"), 1),
              (std::vector<std::string>{"tick 0 program 2", "tick 0 note on C3 (48) velocity 100", "tick 128 program 3",
                                        "tick 128 note off C3 (48)", "tick 128 note on C5 (72) velocity 100", "tick 256 program 2",
                                        "tick 256 note off C5 (72)", "tick 256 note on D3 (50) velocity 100", "tick 384 note off D3 (50)"}));
    EXPECT_TRUE(warnings.empty());
}

TEST(CompilerWarnings, BendsEmptyBanksAndMissingPatchesAreNamed) {
    Warnings bends;
    compileProject(parseProject(kTwoPatches, "song.toml", "."), {ScoreFile{"a.score", "track 0\n C4 bend=100 bend=0>8192:4\nend\n"}}, &bends);
    ASSERT_EQ(bends.size(), 1u);
    EXPECT_EQ(bends[0].find("a.score:2:5: pitch bend has no effect"), 0u) << bends[0];

    Warnings empty;
    compileProject(parseProject("", "song.toml", "."), {ScoreFile{"a.score", "track 0\n C4\nend\n"}}, &empty);
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty[0], "song.toml: the project has no patches: every note is silent");

    Warnings missing;
    compileProject(parseProject("[[patch]]\n", "song.toml", "."), {ScoreFile{"a.score", "track 3\n C4\nend\n"}}, &missing);
    EXPECT_TRUE(missing.empty());  // program 0 exists
    // Program 128 is refused where it is written, whatever the bank holds.
    EXPECT_NE(errorOf(kTwoPatches, "track 0\n program=128 C4\nend\n").find("a.score:2:2: program 128 is not in the patch bank"),
              std::string::npos);
}

}  // namespace
}  // namespace zimblo::songc
