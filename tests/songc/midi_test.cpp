// Standard MIDI Files written by a standard tool (python3 with mido): their
// notes, programs, bends, mapped controllers and tempo map land on the right
// ticks of the song, the song renders, and truncated or malformed files are
// refused with the byte offset of the fault.

#include "midi_import.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "compiler.h"
#include "song_dump.h"
#include "songc/songc_test_util.h"

namespace zimblo::songc {
namespace {

using test::ScratchDir;
namespace fs = std::filesystem;

// Type 1 at 96 ticks per quarter: a conductor track (3/4; 400000 us, then
// 300000 us from the second bar), channel 1 with a program, controllers 7,
// 11 and 10, notes and a bend, and channel 10 with drum notes. Then a type 0
// file with one note on channel 1.
const char* const kMidiScript = R"(
import sys, mido
folder = sys.argv[1]
f = mido.MidiFile(type=1, ticks_per_beat=96)
conductor = mido.MidiTrack(); f.tracks.append(conductor)
conductor.append(mido.MetaMessage('time_signature', numerator=3, denominator=4, clocks_per_click=24, notated_32nd_notes_per_beat=8, time=0))
conductor.append(mido.MetaMessage('set_tempo', tempo=400000, time=0))
conductor.append(mido.MetaMessage('set_tempo', tempo=300000, time=288))
lead = mido.MidiTrack(); f.tracks.append(lead)
lead.append(mido.Message('program_change', channel=0, program=1, time=0))
lead.append(mido.Message('control_change', channel=0, control=7, value=100, time=0))
lead.append(mido.Message('control_change', channel=0, control=11, value=64, time=0))
lead.append(mido.Message('control_change', channel=0, control=10, value=5, time=0))
lead.append(mido.Message('note_on', channel=0, note=60, velocity=90, time=0))
lead.append(mido.Message('note_off', channel=0, note=60, velocity=0, time=48))
lead.append(mido.Message('note_on', channel=0, note=64, velocity=80, time=0))
lead.append(mido.Message('note_on', channel=0, note=64, velocity=0, time=48))
lead.append(mido.Message('pitchwheel', channel=0, pitch=100, time=0))
lead.append(mido.Message('note_on', channel=0, note=67, velocity=70, time=48))
lead.append(mido.Message('note_off', channel=0, note=67, velocity=0, time=144))
drums = mido.MidiTrack(); f.tracks.append(drums)
for start in (0, 96, 192):
    drums.append(mido.Message('note_on', channel=9, note=36, velocity=120, time=0 if start == 0 else 72))
    drums.append(mido.Message('note_off', channel=9, note=36, velocity=0, time=24))
f.save(folder + '/type1.mid')
g = mido.MidiFile(type=0, ticks_per_beat=480)
t = mido.MidiTrack(); g.tracks.append(t)
t.append(mido.Message('note_on', channel=0, note=60, velocity=100, time=0))
t.append(mido.Message('note_off', channel=0, note=60, velocity=0, time=240))
g.save(folder + '/type0.mid')
)";

class MidiTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir.write("make_midi.py", kMidiScript);
        const test::RunResult made = test::run(std::string(ZIMBLO_PYTHON) + " " + dir.file("make_midi.py") + " " + dir.file(""), dir);
        ASSERT_EQ(made.exitCode, 0) << "python3 with mido is needed: " << made.err;
    }

    std::string listingOf(const std::string& toml) {
        dir.write("song.toml", toml);
        const std::vector<uint8_t> song = compileProjectFile(dir.path() / "song.toml");
        std::ofstream(dir.path() / "out.song", std::ios::binary)
            .write(reinterpret_cast<const char*>(song.data()), static_cast<std::streamsize>(song.size()));
        return dumpSong(song.data(), song.size(), "out.song");
    }

    ScratchDir dir;
};

const char* const kPatches = "[[patch]]\nname = \"drums\"\n[[patch]]\nname = \"lead\"\n";

TEST_F(MidiTest, NotesProgramsBendsAndControllersLandOnTheRightTicks) {
    const std::string listing = listingOf(std::string(kPatches) + R"(
[[midi]]
file = "type1.mid"
tempo = true
channels = { "1" = 0, "10" = 3 }
controllers = { "7" = 7, "11" = 1 }
)");
    // 96 ticks per quarter in the file, 128 in the song: pulse p lands on tick 4p/3.
    EXPECT_EQ(test::trackLines(listing, 0),
              (std::vector<std::string>{
                  "tick 0 program 1", "tick 0 cc1 64", "tick 0 cc7 100", "tick 0 note on C4 (60) velocity 90",
                  "tick 64 note off C4 (60)", "tick 64 note on E4 (64) velocity 80", "tick 128 bend 100 64 (8292)",
                  "tick 128 note off E4 (64)", "tick 192 note on G4 (67) velocity 70", "tick 384 note off G4 (67)"}));
    EXPECT_EQ(test::trackLines(listing, 3),
              (std::vector<std::string>{"tick 0 note on C2 (36) velocity 120", "tick 32 note off C2 (36)",
                                        "tick 128 note on C2 (36) velocity 120", "tick 160 note off C2 (36)",
                                        "tick 256 note on C2 (36) velocity 120", "tick 288 note off C2 (36)"}));
    const std::string flat = test::squeezed(listing);
    EXPECT_NE(flat.find("tempo map: 2 entries"), std::string::npos);
    EXPECT_NE(flat.find("tick 0 400000 us per quarter (150.000 per minute), 3/4, third byte 8"), std::string::npos);
    EXPECT_NE(flat.find("tick 384 300000 us per quarter (200.000 per minute), 3/4, third byte 8"), std::string::npos);
    EXPECT_NE(flat.find("track 9: empty"), std::string::npos);  // channel 10 went to track 3

    // The compiled song renders.
    const test::RunResult render = test::run(std::string(ZIMBLO_RENDER_BIN) + " --song " + dir.file("out.song") +
                                                 " --seconds 2 --quiet -o " + dir.file("out.f32"),
                                             dir);
    ASSERT_EQ(render.exitCode, 0) << render.err;
    const std::vector<uint8_t> raw = test::readBytes(dir.path() / "out.f32");
    ASSERT_EQ(raw.size(), 2u * 44100 * 2 * sizeof(float));
    float peak = 0;
    for (size_t i = 0; i + 4 <= raw.size(); i += 4) {
        float v;
        std::memcpy(&v, &raw[i], sizeof v);
        ASSERT_TRUE(std::isfinite(v));
        peak = std::max(peak, std::fabs(v));
    }
    EXPECT_GT(peak, 0.01f);
    EXPECT_LT(peak, 1.0f);
}

TEST_F(MidiTest, TypeZeroFilesTakeOffsetTransposeAndChannelFilter) {
    const std::string toml = std::string(kPatches) + R"(
[[tempo]]
bpm = 120
[[midi]]
file = "type0.mid"
at = 2
transpose = 12
)";
    const std::string listing = listingOf(toml);
    // 480 pulses per quarter: pulse 240 is an eighth, 64 ticks; bar 2 starts at 512.
    EXPECT_EQ(test::trackLines(listing, 0),
              (std::vector<std::string>{"tick 512 note on C5 (72) velocity 100", "tick 576 note off C5 (72)"}));
    // A channel table that leaves channel 1 out imports nothing of it.
    const std::string filtered = listingOf(std::string(kPatches) + "[[midi]]\nfile = \"type1.mid\"\nchannels = { \"10\" = 5 }\n");
    EXPECT_NE(test::squeezed(filtered).find("track 0: empty"), std::string::npos);
    EXPECT_EQ(test::trackLines(filtered, 5).size(), 6u);
    // Transposing past the top is refused at the note's place in the file.
    try {
        listingOf(std::string(kPatches) + "[[midi]]\nfile = \"type1.mid\"\ntranspose = 100\n");
        ADD_FAILURE() << "a note transposed to 160 was accepted";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("type1.mid (track 2, MIDI tick 0, channel 1): note 60 transposed by 100 gives 160"),
                  std::string::npos)
            << e.what();
    }
}

TEST_F(MidiTest, TruncatedAndMalformedFilesAreRefusedWithTheirOffset) {
    const std::vector<uint8_t> whole = test::readBytes(dir.path() / "type1.mid");
    ASSERT_GT(whole.size(), 60u);
    auto errorFor = [](const std::vector<uint8_t>& bytes) {
        try {
            checkMidiChunks(bytes, "f.mid");
        } catch (const InputError& e) {
            return std::string(e.what());
        }
        return std::string("(no error)");
    };
    EXPECT_EQ(errorFor(whole), "(no error)");
    EXPECT_EQ(errorFor(std::vector<uint8_t>(whole.begin(), whole.begin() + 10)),
              "f.mid: byte 10: truncated: a MIDI file starts with a 14-byte header, the file has 10 bytes");
    const uint32_t firstTrack = uint32_t{whole[18]} << 24 | uint32_t{whole[19]} << 16 | uint32_t{whole[20]} << 8 | whole[21];
    EXPECT_EQ(errorFor(std::vector<uint8_t>(whole.begin(), whole.begin() + 30)),
              "f.mid: byte 14: truncated: track chunk 0 declares " + std::to_string(firstTrack) + " bytes, only 8 remain");
    const size_t secondTrack = 14 + 8 + firstTrack;
    EXPECT_EQ(errorFor(std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<long>(secondTrack) + 4)),
              "f.mid: byte " + std::to_string(secondTrack) + ": truncated: the header announces 3 tracks, the file ends after 1");
    std::vector<uint8_t> changed = whole;
    changed[9] = 2;
    EXPECT_EQ(errorFor(changed), "f.mid: byte 8: MIDI file type 2 is not supported (types 0 and 1 are)");
    changed = whole;
    changed[12] = 0xE7;  // −25 frames per second: a time-code division
    EXPECT_NE(errorFor(changed).find("f.mid: byte 12: time-code division is not supported"), std::string::npos);
    changed = whole;
    changed[0] = 'R';
    EXPECT_EQ(errorFor(changed), "f.mid: byte 0: not a Standard MIDI File (no 'MThd' header)");

    // Through the command: exit 2, the offset in the message, nothing written.
    std::ofstream(dir.path() / "cut.mid", std::ios::binary).write(reinterpret_cast<const char*>(whole.data()), 30);
    dir.write("song.toml", std::string(kPatches) + "[[midi]]\nfile = \"cut.mid\"\n");
    const test::RunResult r = test::run(std::string(ZIMBLO_SONGC_BIN) + " " + dir.file("song.toml") + " -o " + dir.file("x.song"), dir);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "cut.mid: byte 14: truncated: track chunk 0 declares " + std::to_string(firstTrack) + " bytes, only 8 remain\n");
    EXPECT_FALSE(fs::exists(dir.path() / "x.song"));

    // A chunk whose length is right but whose last event is cut short: refused at the
    // event's offset before the MIDI library sees it.
    const std::vector<uint8_t> malformed = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96,
                                            'M', 'T', 'r', 'k', 0, 0, 0, 3, 0x00, 0x90, 0x3C};
    std::ofstream(dir.path() / "bad.mid", std::ios::binary).write(reinterpret_cast<const char*>(malformed.data()), 25);
    MidiImportSettings s = defaultMidiSettings();
    s.path = dir.file("bad.mid");
    s.displayName = "bad.mid";
    try {
        importMidi(s);
        ADD_FAILURE() << "a cut-short event was accepted";
    } catch (const InputError& e) {
        EXPECT_EQ(std::string(e.what()), "bad.mid: byte 25: track chunk 1: truncated inside a channel message");
    }

    // Tracks the library would abort on (a sysex escape, running status after a sysex, no
    // end-of-track event) are refused like any other malformed file.
    for (const char* file : {"sysex_escape_event.mid", "running_status_after_sysex.mid", "track_without_end_event.mid"}) {
        s.path = std::string(ZIMBLO_SOURCE_DIR) + "/fuzz/regressions/songc_midi/" + file;
        s.displayName = file;
        EXPECT_THROW(importMidi(s), InputError) << file;
    }
}

}  // namespace
}  // namespace zimblo::songc
