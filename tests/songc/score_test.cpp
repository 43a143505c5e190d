// The score format: pitches, durations, chords and ties, patterns with
// repeats and transposition, positions in the song's bars, controller ramps,
// and the refusal of bad scores with file:line:column.

#include "score.h"

#include <gtest/gtest.h>

#include <map>

namespace zimblo::songc {
namespace {

struct Note {
    uint64_t on = 0;
    uint64_t off = 0;
    int note = 0;
    int velocity = 0;
    bool operator==(const Note&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Note& n) {
    return os << "{on " << n.on << " off " << n.off << " note " << n.note << " vel " << n.velocity << "}";
}

class ScoreTest : public ::testing::Test {
protected:
    std::vector<SongEvent> compile(const std::string& text, uint32_t tpq = 128,
                                   std::vector<TempoEntry> tempo = {}) {
        meters = std::make_unique<MeterMap>(tpq, tempo);
        ScoreSettings s;
        s.ticksPerQuarter = tpq;
        s.meters = meters.get();
        s.programCount = 3;
        s.programNamed = [](std::string_view name) -> std::optional<int> {
            if (name == "bass") return 2;
            return std::nullopt;
        };
        return compileScores({ScoreFile{"t.score", text}}, s);
    }

    // Note-on/off pairs of one track, matched in order per pitch.
    static std::vector<Note> notes(const std::vector<SongEvent>& events, int track = 0) {
        std::vector<Note> out;
        std::map<int, std::vector<size_t>> open;
        for (const SongEvent& e : events) {
            if (e.track != track) continue;
            if (e.kind == EventKind::NoteOn) {
                open[e.value1].push_back(out.size());
                out.push_back(Note{e.tick, 0, e.value1, e.value2});
            } else if (e.kind == EventKind::NoteOff) {
                auto& list = open[e.value1];
                if (list.empty()) {
                    ADD_FAILURE() << "note off without note on at tick " << e.tick;
                    continue;
                }
                out[list.front()].off = e.tick;
                list.erase(list.begin());
            }
        }
        return out;
    }

    static std::vector<std::pair<uint64_t, int>> controllers(const std::vector<SongEvent>& events, int lane) {
        std::vector<std::pair<uint64_t, int>> out;
        for (const SongEvent& e : events)
            if (e.kind == EventKind::Controller && e.lane == lane) out.emplace_back(e.tick, e.value1);
        return out;
    }

    std::string errorOf(const std::string& text, uint32_t tpq = 128) {
        try {
            compile(text, tpq);
        } catch (const InputError& e) {
            return e.what();
        }
        return "(no error)";
    }

    std::unique_ptr<MeterMap> meters;
};

TEST(ScorePitch, NoteNamesAndOctavesGiveNoteNumbers) {
    EXPECT_EQ(parsePitch("C4"), 60);
    EXPECT_EQ(parsePitch("c4"), 60);
    EXPECT_EQ(parsePitch("A4"), 69);
    EXPECT_EQ(parsePitch("C-1"), 0);
    EXPECT_EQ(parsePitch("G9"), 127);
    EXPECT_EQ(parsePitch("F#3"), 54);
    EXPECT_EQ(parsePitch("Bb2"), 46);
    EXPECT_EQ(parsePitch("bb2"), 46);  // letter b, then the flat
    EXPECT_EQ(parsePitch("Cb4"), 59);  // accidentals cross the octave boundary
    EXPECT_EQ(parsePitch("B#3"), 60);
    EXPECT_EQ(parsePitch("E##4"), 66);
    EXPECT_EQ(parsePitch("Gbb4"), 65);
    EXPECT_EQ(parsePitch("G#9"), 128);  // parsed; the range check refuses it
    for (const char* bad : {"H4", "C", "C10", "C-2", "Cx4", "b", "C#", "C+4", "4", ""})
        EXPECT_EQ(parsePitch(bad), std::nullopt) << bad;
}

TEST(ScoreDuration, ValuesDotsTripletsFractionsAndTiesInTicks) {
    const SourcePlace here{"t.score", 1, 1};
    const std::map<std::string, uint64_t> at128 = {
        {"1", 512}, {"2", 256}, {"4", 128}, {"8", 64},    {"16", 32},   {"32", 16},  {"64", 8},
        {"4.", 192}, {"4..", 224}, {"2.", 384}, {"3/16", 96}, {"5/4", 640}, {"2+8", 320}, {"1+1+4.", 1216}};
    for (const auto& [text, ticks] : at128) EXPECT_EQ(parseDuration(text, 128, here), ticks) << text;
    EXPECT_EQ(parseDuration("8t", 96, here), 32u);
    EXPECT_EQ(parseDuration("4t", 96, here), 64u);
    EXPECT_EQ(parseDuration("1/12", 96, here), 32u);
    EXPECT_EQ(parseDuration("4t+8t", 96, here), 96u);
    // No triplet is whole at 128 ticks per quarter; the message says why.
    try {
        parseDuration("8t", 128, here);
        ADD_FAILURE() << "8t at 128 ticks per quarter was accepted";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("whole number of ticks"), std::string::npos) << e.what();
    }
    for (const char* bad : {"3", "4x", "", "0", "256", "2++4", "/4", "4.t.", "1/0"})
        EXPECT_THROW(parseDuration(bad, 128, here), InputError) << bad;
}

TEST_F(ScoreTest, NotesChordsRestsAndStickyValues) {
    const auto events = compile("track 0\n C4:8@90 E4 r [C4 E4@60 G4]:2@80 D4 r:4 F4:16\nend\n");
    const std::vector<Note> expected = {
        {0, 64, 60, 90},    {64, 128, 64, 90},  // duration and velocity carry over
        {192, 448, 60, 80}, {192, 448, 64, 60}, {192, 448, 67, 80},  // the rest took the sticky eighth
        {448, 704, 62, 80},  // D4 keeps the chord's half note and velocity
        {832, 864, 65, 80},
    };
    EXPECT_EQ(notes(events), expected);
}

TEST_F(ScoreTest, TiesJoinNotesAndGateShortensTheLastPart) {
    EXPECT_EQ(notes(compile("track 0\n C4:2. E4:4~ | E4:2 r:2 |\nend\n")),
              (std::vector<Note>{{0, 384, 60, 100}, {384, 768, 64, 100}}));
    // A tied chord continues only the pitches it shares; the new pitch starts.
    EXPECT_EQ(notes(compile("track 0\n [C4 G4]:4~ [C4 G4 E5]:4\nend\n")),
              (std::vector<Note>{{0, 256, 60, 100}, {0, 256, 67, 100}, {128, 256, 76, 100}}));
    // Gate 50 %: an untied quarter sounds 64 ticks; a tied one 128 + 64.
    EXPECT_EQ(notes(compile("track 0\n gate=50 C4:4 C4:4~ C4:4 gate=1 D4:16\nend\n")),
              (std::vector<Note>{{0, 64, 60, 100}, {128, 320, 60, 100}, {384, 385, 62, 100}}));
    EXPECT_NE(errorOf("track 0\n C4:4~ D4:4\nend\n").find("t.score:2:2: this tie is not continued"), std::string::npos);
    EXPECT_NE(errorOf("track 0\n C4:4~ r\nend\n").find("a rest follows it"), std::string::npos);
    EXPECT_NE(errorOf("track 0\n C4:4~\nend\n").find("the end of the block"), std::string::npos);
}

TEST_F(ScoreTest, GateRoundsToTheNearestTickWithHalvesUp) {
    // 90 % of an eighth (64 ticks) is 57.6 ticks and 45 % is 28.8: 58 and 29, where truncation gives 57 and 28.
    EXPECT_EQ(notes(compile("track 0\n gate=90 C4:8 gate=45 D4:8\nend\n")),
              (std::vector<Note>{{0, 58, 60, 100}, {64, 93, 62, 100}}));
    // At 12 ticks per quarter a sixteenth is 3 ticks; half of it, 1.5, sounds 2.
    EXPECT_EQ(notes(compile("track 0\n gate=50 C4:16\nend\n", 12)), (std::vector<Note>{{0, 2, 60, 100}}));
}

TEST_F(ScoreTest, PatternsRepeatTransposeAndNest) {
    const std::string patterns = "pattern a\n C4:8 E4:8\nend\npattern b\n play a +2\nend\n";
    const auto events = compile(patterns + "track 0\n play a x3 play a +12 D4 play b -1\nend\n");
    const std::vector<Note> expected = {
        {0, 64, 60, 100},   {64, 128, 64, 100},  {128, 192, 60, 100}, {192, 256, 64, 100},
        {256, 320, 60, 100}, {320, 384, 64, 100}, {384, 448, 72, 100}, {448, 512, 76, 100},
        {512, 640, 62, 100},  // the caller's duration is its own (a quarter), not the pattern's
        {640, 704, 61, 100}, {704, 768, 65, 100},  // +2 and −1 add up
    };
    EXPECT_EQ(notes(events), expected);
    // A pattern begins with fresh defaults each time it plays.
    EXPECT_EQ(notes(compile("pattern p\n C4\nend\ntrack 0\n D4:8@30 play p\nend\n"))[1], (Note{64, 192, 60, 100}));
    EXPECT_NE(errorOf("pattern c\n play d\nend\npattern d\n play c\nend\ntrack 0\n play c\nend\n").find("plays itself"),
              std::string::npos);
    const std::string high = errorOf("pattern h\n G9\nend\ntrack 0\n play h +1\nend\n");
    EXPECT_NE(high.find("t.score:2:2"), std::string::npos) << high;
    EXPECT_NE(high.find("play at t.score:5:2"), std::string::npos) << high;
}

TEST_F(ScoreTest, PositionsFollowTheSongsBarsAndBlocksMerge) {
    // 4/4 for two bars, then 3/4 from bar 3 (tick 1024).
    std::vector<TempoEntry> tempo(2);
    tempo[1].tick = 1024;
    tempo[1].numerator = 3;
    const auto events = compile("track 1\n at 4 C4:2. | at 2:3 D4:4\nend\ntrack 1\n E4\nend\n", 128, tempo);
    EXPECT_EQ(notes(events, 1), (std::vector<Note>{{1408, 1792, 60, 100}, {768, 896, 62, 100}, {0, 128, 64, 100}}));
    EXPECT_TRUE(meters->isBarLine(1024 + 384));
    EXPECT_FALSE(meters->isBarLine(1024 + 512));
    std::string error;
    try {
        compile("track 0\n at 4:4 C4\nend\n", 128, tempo);
    } catch (const InputError& e) {
        error = e.what();
    }
    EXPECT_NE(error.find("beat 4 lies outside bar 4, which has 3 beats"), std::string::npos) << error;
}

TEST_F(ScoreTest, ControllerRampsStepAndEndOnTheirTarget) {
    auto events = compile("track 0\n step=32 cc1=0>64:4 C4:1 cc2=10>7:4 step=16 cc3=10>7:4 cc7=99\nend\n");
    const std::vector<std::pair<uint64_t, int>> up = {{0, 0},   {16, 8},  {32, 16}, {48, 24}, {64, 32},
                                                      {80, 40}, {96, 48}, {112, 56}, {128, 64}};
    EXPECT_EQ(controllers(events, 1), up);
    // A ramp takes no time: the note starts with it, the later ramps after the note.
    EXPECT_EQ(notes(events), (std::vector<Note>{{0, 512, 60, 100}}));
    // Falling by 3 over 128 ticks: steps of a 32nd (16 ticks) reach 7 at 624 and leave
    // out equal values; steps of a 16th (32 ticks) reach it only at the end.
    EXPECT_EQ(controllers(events, 2), (std::vector<std::pair<uint64_t, int>>{{512, 10}, {544, 9}, {576, 8}, {624, 7}}));
    EXPECT_EQ(controllers(events, 3), (std::vector<std::pair<uint64_t, int>>{{512, 10}, {544, 9}, {576, 8}, {640, 7}}));
    EXPECT_EQ(controllers(events, 7), (std::vector<std::pair<uint64_t, int>>{{512, 99}}));

    events = compile("track 0\n bend=8192 bend=16383>0:4 program=bass program=1 C4\nend\n");
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0].kind, EventKind::PitchBend);
    EXPECT_EQ(events[0].value1, 0);   // low seven bits first
    EXPECT_EQ(events[0].value2, 64);
    EXPECT_EQ(events[1].value1, 127);
    EXPECT_EQ(events[1].value2, 127);
    std::vector<int> programs;
    for (const SongEvent& e : events)
        if (e.kind == EventKind::Program) programs.push_back(e.value1);
    EXPECT_EQ(programs, (std::vector<int>{2, 1}));  // by name and by number
}

TEST_F(ScoreTest, AliasesNameDrumNotes) {
    const auto events = compile("alias kick C2\nalias snare D2\ntrack 9\n kick:8 snare kick [kick snare]\nend\n");
    EXPECT_EQ(notes(events, 9), (std::vector<Note>{{0, 64, 36, 100}, {64, 128, 38, 100}, {128, 192, 36, 100},
                                                  {192, 256, 36, 100}, {192, 256, 38, 100}}));
    EXPECT_NE(errorOf("alias C4 D4\n").find("cannot name an alias"), std::string::npos);
    EXPECT_NE(errorOf("alias play D4\n").find("cannot name an alias"), std::string::npos);
}

TEST_F(ScoreTest, BadScoresAreRefusedWithFileLineAndColumn) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"track 0\n C4 x\nend\n", "t.score:2:5: 'x' is neither a note name nor an alias"},
        {"track 0\n C4@0\nend\n", "t.score:2:2: velocity 0 is out of range 1..127"},
        {"track 0\n C4@128\nend\n", "velocity 128 is out of range 1..127"},
        {"track 0\n cc0=1 C4\nend\n", "t.score:2:2: controller lane 0 is outside 1..7"},
        {"track 0\n cc8=1 C4\nend\n", "controller lane 8 is outside 1..7"},
        {"track 0\n cc1=128 C4\nend\n", "controller value 128 is out of range 0..127"},
        {"track 0\n bend=16384\nend\n", "pitch bend 16384 is out of range 0..16383"},
        {"track 0\n cc1=0>9 C4\nend\n", "a ramp needs its duration"},
        {"track 0\n gate=0\nend\n", "gate 0 is out of range 1..100"},
        {"track 0\n C4 D4\n", "t.score:1:1: block 'track' has no 'end'"},
        {"track 16\nend\n", "t.score:1:7: track 16 is out of range 0..15"},
        {"track 0\n play nope\nend\n", "t.score:2:2: no pattern is named 'nope'"},
        {"pattern a\nend\npattern a\nend\n", "t.score:3:9: pattern 'a' is already defined at t.score:1:1"},
        {"pattern a\n at 2\nend\n", "t.score:2:2: 'at' places music in a track"},
        {"track 0\n [C4 E4:2]\nend\n", "t.score:2:6: a chord's duration and tie follow its ']'"},
        {"track 0\n [C4 E4\nend\n", "t.score:2:2: chord has no closing ']'"},
        {"track 0\n program=lead\nend\n", "t.score:2:2: no patch is named 'lead'"},
        {"track 0\n program=3\nend\n", "program 3 is not in the patch bank (programs 0..2)"},
        {"track 0\n C4:0\nend\n", "is not a note value"},
        {"track 0\n C4 | D4\nend\n", "t.score:2:5: bar check: tick 128 is not on a bar line"},
        {"pattern w 3/4\n C4:2 |\nend\n", "256 ticks past the start of bar 1 of pattern 'w' (384 ticks a bar)"},
        {"tempo 0\n", "t.score:1:1: expected 'alias', 'pattern' or 'track', found 'tempo'"},
        {"track 0\n C4\n track 1\nend\n", "t.score:3:2: 'track' inside the block that starts at t.score:1:1"},
        {"track 0\n wobble=3\nend\n", "unknown setting 'wobble='"},
    };
    for (const auto& [text, expected] : cases) {
        const std::string error = errorOf(text);
        EXPECT_NE(error.find(expected), std::string::npos) << "score:\n" << text << "gave: " << error;
    }
    // Comments and bar lines glued to notes read as separate tokens.
    EXPECT_EQ(notes(compile("track 0 // the lead\n C4:1|D4:1| // two bars\nend\n")).size(), 2u);
}

}  // namespace
}  // namespace zimblo::songc
