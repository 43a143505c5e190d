// MIDI files played as General MIDI, from files written byte by byte: the
// rescaling of ticks, the sustain pedal, re-struck and overlapping keys, keys
// still held at the file's end, the controller lanes, the drum families on
// free tracks, and the warnings for what cannot be played.

#include "general_midi.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "compiler.h"
#include "midi_import.h"
#include "song_dump.h"
#include "song_measure.h"
#include "songc/midi_bytes.h"
#include "songc/songc_test_util.h"

namespace zimblo::songc {
namespace {

using test::midiFile;
using test::MidiTrackBytes;

std::vector<uint64_t> noteTicks(const std::vector<uint8_t>& file, uint32_t ticksPerQuarter) {
    MidiImportSettings s = defaultMidiSettings();
    s.displayName = "t.mid";
    s.bytes = file;
    s.ticksPerQuarter = ticksPerQuarter;
    std::vector<uint64_t> ticks;
    for (const SongEvent& e : importMidi(s).events)
        if (e.kind == EventKind::NoteOn) ticks.push_back(e.tick);
    return ticks;
}

TEST(MidiTicks, RescaleToTheNearestTickWithHalvesUp) {
    MidiTrackBytes track;
    for (int i = 0; i < 5; ++i) track.on(1, 0, 60 + i, 100);
    // 96 pulses per quarter onto 128 ticks: pulses 1..5 are 1.33, 2.67, 4, 5.33, 6.67 ticks.
    EXPECT_EQ(noteTicks(midiFile(0, 96, {track.chunk()}), 128), (std::vector<uint64_t>{1, 3, 4, 5, 7}));
    // 256 onto 128: 0.5, 1, 1.5, 2, 2.5 ticks; halves go up.
    EXPECT_EQ(noteTicks(midiFile(0, 256, {track.chunk()}), 128), (std::vector<uint64_t>{1, 1, 2, 2, 3}));
}

struct Compiled {
    CompileResult result;
    std::string listing;
    std::vector<std::string> track(int t) const { return test::trackLines(listing, t); }
    bool warned(const std::string& text) const {
        return std::any_of(result.warnings.begin(), result.warnings.end(),
                           [&](const std::string& w) { return w.find(text) != std::string::npos; });
    }
};

Compiled compiled(const std::vector<uint8_t>& file) {
    Compiled c;
    c.result = compileMidi(file, "t.mid");
    c.listing = dumpSong(c.result.song.data(), c.result.song.size(), "t.song");
    return c;
}

std::vector<std::string> notesOnly(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& l : lines)
        if (l.find(" note ") != std::string::npos) out.push_back(l);
    return out;
}

TEST(GeneralMidi, SustainPedalHoldsNoteOffsAndReStruckKeysCloseFirst) {
    MidiTrackBytes t;
    t.cc(0, 0, 64, 127)                       // pedal down at 0
        .on(0, 0, 60, 100).off(96, 0, 60)     // released under the pedal
        .on(0, 0, 64, 90).off(96, 0, 64)
        .on(96, 0, 60, 80)                    // 60 struck again at 288 while the pedal holds it
        .cc(96, 0, 64, 0)                     // pedal up at 384 ends 64 (and 60, held by the key)
        .off(96, 0, 60);                      // 480
    const Compiled c = compiled(midiFile(0, 96, {t.chunk()}));
    EXPECT_EQ(notesOnly(c.track(0)),
              (std::vector<std::string>{"tick 0 note on C4 (60) velocity 100", "tick 96 note on E4 (64) velocity 90",
                                        "tick 288 note off C4 (60)", "tick 288 note on C4 (60) velocity 80",
                                        "tick 384 note off E4 (64)", "tick 480 note off C4 (60)"}));
}

TEST(GeneralMidi, OverlappingKeysEndAtOneNoteOffAndHeldKeysAtTheEnd) {
    MidiTrackBytes t;
    t.on(0, 0, 62, 100).on(48, 0, 62, 100)  // the same key twice
        .off(48, 0, 62).off(48, 0, 62)       // the second note-off finds nothing to end
        .on(0, 0, 67, 100);                  // never released
    const Compiled c = compiled(midiFile(0, 96, {t.chunk(192)}));
    EXPECT_EQ(notesOnly(c.track(0)),
              (std::vector<std::string>{"tick 0 note on D4 (62) velocity 100", "tick 48 note off D4 (62)",
                                        "tick 48 note on D4 (62) velocity 100", "tick 96 note off D4 (62)",
                                        "tick 144 note on G4 (67) velocity 100", "tick 336 note off G4 (67)"}));
}

TEST(GeneralMidi, TwoNoteOnsAndOneNoteOffLeaveNoDrone) {
    // An organ (steady while held) struck twice on one key, released once.
    MidiTrackBytes t;
    t.program(0, 0, 16).on(0, 0, 57, 100).on(96, 0, 57, 100).off(96, 0, 57);
    const CompileResult result = compileMidi(midiFile(0, 96, {t.chunk(96)}), "drone.mid");
    const SongMeasure m = measureSong(result.song, 6.0);
    // 120 per minute: the file ends at 1.5 s, half a second after the note-off (measured in blocks of 1024 frames).
    EXPECT_NEAR(static_cast<double>(m.framesToEnd), 1.5 * 44100.0, 1024.0);
    EXPECT_GT(m.peak, 0.01f);
    // The organ's release and the room's tail fall below -90 dBFS within 3 s; a held voice never would.
    EXPECT_LT(m.lastAudibleFrame, m.framesToEnd + 3 * 44100u);
}

TEST(GeneralMidi, ControllersReachTheirLanesAndSurviveProgramChanges) {
    MidiTrackBytes t;
    t.cc(0, 0, 7, 90).cc(0, 0, 10, 100).cc(0, 0, 11, 64).on(0, 0, 60, 100).off(96, 0, 60)
        .program(0, 0, 40).on(0, 0, 62, 100).off(96, 0, 62)
        .event(0, {0xE0, 0, 70}).event(0, {0xE0, 0, 64}).event(0, {0xD0, 30})
        .cc(0, 0, 91, 40);
    const Compiled c = compiled(midiFile(0, 96, {t.chunk()}));
    const std::vector<std::string> lines = c.track(0);
    auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
    EXPECT_TRUE(has("tick 0 cc7 90"));  // the file's volume wins over the reset value at tick 0
    EXPECT_FALSE(has("tick 0 cc7 100"));
    EXPECT_TRUE(has("tick 0 cc2 36"));  // pan 100: 36 right of the centre
    EXPECT_TRUE(has("tick 0 cc4 63"));  // expression 64: 63 down
    // The program change at 96 clears lanes 1..6 in the engine; they are written again.
    EXPECT_TRUE(has("tick 96 cc2 36"));
    EXPECT_TRUE(has("tick 96 cc4 63"));
    EXPECT_TRUE(c.warned("t.mid: 2 pitch bends dropped"));
    EXPECT_TRUE(c.warned("t.mid: 1 aftertouch messages dropped"));
    EXPECT_TRUE(c.warned("t.mid: 1 controller messages dropped"));
}

TEST(GeneralMidi, DrumFamiliesTakeFreeTracksAndShareOneWhenNoneIsFree) {
    MidiTrackBytes drums;
    for (int note : {36, 38, 42, 49, 60, 45}) drums.on(0, 9, note, 100).off(24, 9, note);
    const Compiled split = compiled(midiFile(0, 96, {drums.chunk()}));
    // Kick stays on track 9; the others go to the free tracks 0, 1, ... in family order.
    EXPECT_EQ(notesOnly(split.track(9)).size(), 2u);
    EXPECT_EQ(notesOnly(split.track(0)).front(), "tick 24 note on D2 (38) velocity 100");   // snare
    EXPECT_EQ(notesOnly(split.track(1)).front(), "tick 120 note on A2 (45) velocity 100");  // toms
    EXPECT_EQ(notesOnly(split.track(2)).front(), "tick 48 note on F#2 (42) velocity 100");  // hi-hats
    EXPECT_EQ(notesOnly(split.track(3)).front(), "tick 72 note on C#3 (49) velocity 100");  // cymbals
    EXPECT_EQ(notesOnly(split.track(4)).front(), "tick 96 note on C4 (60) velocity 100");   // hand percussion

    // Every other channel plays: no track is free, the whole kit plays on track 9.
    MidiTrackBytes busy;
    for (int channel = 0; channel < 16; ++channel)
        if (channel != 9) busy.on(0, channel, 48 + channel, 80);
    const Compiled full = compiled(midiFile(1, 96, {drums.chunk(), busy.chunk(96)}));
    EXPECT_EQ(notesOnly(full.track(9)).size(), 12u);
    EXPECT_TRUE(full.warned("no track is free for the drum families"));

    // With two free tracks, six families merge into three groups.
    bool wholeKit = true;
    const auto tracks = assignDrumTracks({true, true, true, true, true, true}, {3, 7}, wholeKit);
    EXPECT_FALSE(wholeKit);
    EXPECT_EQ(tracks, (std::array<int, kDrumFamilyCount>{9, 3, 3, 7, 7, 3}));
}

TEST(GeneralMidi, ChannelsWithoutNotesAndAllFileShapesAreAccepted) {
    MidiTrackBytes conductor, controls, lead;
    conductor.tempo(0, 600000).tempo(192, 400000).event(0, {0xFF, 0x58, 0x04, 1, 3, 24, 8});  // 1/8: shorter than a quarter
    controls.event(0, {0xFF, 0x21, 0x01, 0x01}).cc(0, 4, 7, 100).event(0, {0xE4, 0, 80});  // port 2, channel 5: no notes
    lead.event(0, {0xFF, 0x21, 0x01, 0x00});
    lead.on(0, 0, 60, 100).on(100, 0, 64, 100).off(284, 0, 60).off(0, 0, 64);
    const Compiled c = compiled(midiFile(1, 96, {conductor.chunk(), controls.chunk(), lead.chunk()}));
    EXPECT_NE(test::squeezed(c.listing).find("track 4: empty"), std::string::npos);
    EXPECT_TRUE(c.warned("2 controller, program and pitch-bend messages dropped on channels that play no notes"));
    EXPECT_TRUE(c.warned("t.mid: the file addresses 2 MIDI ports (more than 16 channels)"));
    EXPECT_TRUE(c.warned("t.mid: 1 time signatures with bars shorter than a quarter"));
    // The listing gives each time also as m:ss.mmm and bar:beat: 2 quarters of 0.6 s, then 0.4 s each.
    const std::string flat = test::squeezed(c.listing);
    EXPECT_NE(flat.find("tick 192 400000 us per quarter (150.000 per minute), 4/4, third byte 8 @ 0:01.200 1:3"), std::string::npos);
    EXPECT_NE(flat.find("tick 384 note off C4 (60) @ 0:02.000 2:1"), std::string::npos);
    EXPECT_NE(flat.find("length in seconds 2.000"), std::string::npos);
    EXPECT_NE(flat.find("tick 100 note on E4 (64) velocity 100 @ 0:00.625 1:2+4"), std::string::npos);
}

TEST(GeneralMidi, ProjectsPlayMidiFilesThroughTheBankAndOverrideItsPatches) {
    test::ScratchDir dir;
    MidiTrackBytes t;
    t.program(0, 0, 40).on(0, 0, 60, 100).off(96, 0, 60).program(0, 0, 0).on(0, 0, 62, 100).off(96, 0, 62);
    const std::vector<uint8_t> file = midiFile(0, 96, {t.chunk()});
    std::ofstream(dir.file("a.mid"), std::ios::binary).write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    // The project's own patch named like a bank program replaces it; the violin comes from the bank.
    dir.write("song.toml", "[[patch]]\nname = \"acoustic_grand_piano\"\nbased_on = \"gm:harpsichord\"\n"
                           "[[midi]]\nfile = \"a.mid\"\ngeneral_midi = true\ntempo = true\n");
    const std::vector<uint8_t> song = compileProjectFile(dir.path() / "song.toml");
    const std::string listing = dumpSong(song.data(), song.size(), "s");
    const std::vector<std::string> lines = test::trackLines(listing, 0);
    EXPECT_EQ(lines.front(), "tick 0 program 1");  // violin, after the project's numbered patch 0
    EXPECT_NE(std::find(lines.begin(), lines.end(), "tick 128 program 0"), lines.end());  // 96 pulses are 128 song ticks
    EXPECT_NE(test::squeezed(listing).find(" bytes, 2 programs"), std::string::npos);
}

}  // namespace
}  // namespace zimblo::songc
