// The event-stream interpreter and voice allocation.
#include "synth_fixture.h"

namespace zimblo::synth::test {
namespace {

TEST_F(SynthTest, EndByteAlonePitchBendAndPressureChangeNothing) {
    Synth& synth = open({sinePatch()});
    send(synth, {0x90, 60, 100, 0xFD});
    render(synth, 300);
    const std::vector<uint8_t> before = snapshot(synth);
    send(synth, {0xFD});
    EXPECT_TRUE(snapshot(synth) == before);
    send(synth, {0xE0, 0x00, 0x7F, 0x12, 0x34, 0xA0, 60, 10, 0xD0, 20, 0xFD});
    synth.runningStatus = 0x90;  // the one field such a stream may change
    EXPECT_TRUE(snapshot(synth) == before);
    // Each consumed its data bytes: the next note is read correctly.
    send(synth, {0xE0, 1, 2, 0xA0, 1, 2, 0xD0, 3, 0x90, 62, 100, 0xFD});
    EXPECT_EQ(voiceTable(synth), "0:0/60 1:0/62");
}

TEST_F(SynthTest, RunningStatusNoteOnWithVelocityZeroReleases) {
    Synth& synth = open({sinePatch()});
    send(synth, {0x90, 0x3C, 0x64, 0x3C, 0x00, 0xFD});
    EXPECT_EQ(voiceTable(synth), "0:0/60~");
    EXPECT_EQ(synth.voices[0].velocity, 100.0f);
    // The running status carries into the next stream; 0x80 is a note off too.
    send(synth, {0x3E, 0x50, 0x80, 0x3E, 0x7F, 0xFD});
    EXPECT_EQ(voiceTable(synth), "0:0/60~ 1:0/62~");
}

TEST_F(SynthTest, SameNoteTwiceTakesTwoVoicesAndOneNoteOffReleasesTheLower) {
    Synth& synth = open({sinePatch()});
    send(synth, {0x93, 60, 90, 60, 91, 0xFD});
    EXPECT_EQ(synth.voiceStartStamp[0], 0u);
    EXPECT_EQ(synth.voiceStartStamp[1], 1u);
    EXPECT_EQ(synth.channelLastVoice[3], 1);
    send(synth, {0x83, 60, 0, 0xFD});
    EXPECT_EQ(voiceTable(synth), "0:3/60~ 1:3/60");
    send(synth, {0x83, 60, 0, 0xFD});
    // A note off for a note that is not held, or on another channel, releases nothing.
    send(synth, {0x93, 64, 90, 0x84, 64, 0, 0x83, 65, 0, 0xFD});
    EXPECT_EQ(voiceTable(synth), "0:3/60~ 1:3/60~ 2:3/64");
}

TEST_F(SynthTest, VoiceLimitOneTakesOverTheSoundingVoice) {
    Synth& synth = open({sinePatch(1)});
    send(synth, {0x90, 60, 100, 0xFD});
    render(synth, 128);
    send(synth, {0x90, 64, 100, 0x80, 60, 0, 0xFD});
    EXPECT_EQ(voiceTable(synth), "0:0/64");  // the old note's off finds nothing
    EXPECT_EQ(synth.voiceStartStamp[0], 1u);
    send(synth, {0x80, 64, 0, 0xFD});
    EXPECT_EQ(voiceTable(synth), "0:0/64~");
    // At the limit a released voice of the channel is preferred to a held one.
    Synth& two = open({sinePatch(2)});
    send(two, {0x90, 60, 100, 62, 100, 0x80, 62, 0, 0x90, 64, 100, 0xFD});
    EXPECT_EQ(voiceTable(two), "0:0/60 1:0/64");
}

TEST_F(SynthTest, BelowItsLimitAChannelStealsTheOldestVoiceOfAnyChannel) {
    Synth& synth = open({sinePatch(64)});
    // 64 held voices on channel 1, stamps 0..63 in index order.
    std::vector<uint8_t> stream{0x91};
    for (int v = 0; v < kVoiceCount; ++v) stream.insert(stream.end(), {static_cast<uint8_t>(v), 100});
    stream.push_back(0xFD);
    synth.processEvents(stream.data());
    EXPECT_EQ(voicesOn(synth, 1), 64);
    // At its limit, channel 1 retriggers its own oldest voice 0 (stamp 64).
    send(synth, {0x91, 100, 100, 0xFD});
    EXPECT_EQ(synth.voices[0].note, 100);
    EXPECT_EQ(synth.voiceStartStamp[0], 64u);
    // Channel 2 is below its limit and every voice is held: the smallest stamp is voice 1.
    send(synth, {0x92, 70, 100, 0xFD});
    EXPECT_EQ(synth.voiceChannel[1], 2);
    // A released voice goes before any held one, however old the held ones are.
    send(synth, {0x81, 40, 0, 0x92, 71, 100, 0xFD});
    EXPECT_EQ(synth.voiceChannel[40], 2);
    EXPECT_EQ(synth.voices[40].gate, 1);
    EXPECT_EQ(synth.voiceChannel[2], 1);
    // Among equal stamps (a wrapped counter) the lowest index wins.
    synth.voiceStartStamp[30] = synth.voiceStartStamp[20] = 0;
    send(synth, {0x93, 72, 100, 0xFD});
    EXPECT_EQ(synth.voiceChannel[20], 3);
    EXPECT_EQ(synth.voiceChannel[30], 1);
}

TEST_F(SynthTest, ProgramChangeFreesVoicesOnlyOnChangeAndKeepsLane7) {
    Synth& synth = open({sinePatch(), sinePatch()});
    send(synth, {0x90, 60, 100, 0xB0, 1, 11, 2, 22, 6, 66, 7, 77, 0x91, 60, 100, 0xFD});
    send(synth, {0xC0, 0x80, 0xFD});  // masked to 0: the same program
    EXPECT_EQ(voiceTable(synth), "0:0/60 1:1/60");
    const std::array<uint8_t, 7> lanes{0, 0, 0, 0, 0, 0, 77};
    EXPECT_EQ(synth.channelControls[0].lanes, lanes);

    const std::vector<uint8_t> kept = snapshot(synth.voices[0]);
    send(synth, {0xC0, 1, 0xFD});
    EXPECT_EQ(synth.channelControls[0].program, 1);
    EXPECT_EQ(voiceTable(synth), "1:1/60");
    EXPECT_EQ(synth.channelControls[0].lane(7), 77);
    EXPECT_TRUE(snapshot(synth.voices[0]) == kept);  // freed, neither released nor reset
}

TEST_F(SynthTest, ControllersStoreLanesAndAllSoundOffAndAllNotesOffActOnOneChannel) {
    Synth& synth = open({sinePatch()});
    send(synth, {0xB4, 0, 50, 1, 51, 7, 57, 8, 58, 119, 59, 0xFD});
    const std::array<uint8_t, 7> lanes{51, 0, 0, 0, 0, 0, 57};
    EXPECT_EQ(synth.channelControls[4].lanes, lanes);
    EXPECT_EQ(synth.channelControls[4].program, 0);  // controller 0 is not the program

    send(synth, {0x94, 60, 100, 62, 100, 0x95, 64, 100, 0xFD});
    render(synth, 256);
    const float amplitude = synth.voices[0].amplitude;
    EXPECT_GT(amplitude, 0.0f);
    send(synth, {0xB4, 123, 0, 0xFD});  // all notes off
    EXPECT_EQ(voiceTable(synth), "0:4/60~ 1:4/62~ 2:5/64");
    send(synth, {0x94, 66, 100, 0xB4, 120, 0, 0xB5, 121, 0, 122, 0, 0xFD});  // all sound off; 121, 122 nothing
    EXPECT_EQ(voiceTable(synth), "2:5/64");
    // Units reset, but note, gate and amplitude kept.
    EXPECT_EQ(synth.voices[0].envelopes[0].stage, dsp::EnvelopeStage::Off);
    EXPECT_EQ(synth.voices[0].amplitude, amplitude);
    EXPECT_EQ(synth.voices[3].note, 66);
    EXPECT_EQ(synth.voices[3].gate, 1);
}

TEST_F(SynthTest, SystemStatusFollowedByDataEndsTheStream) {
    Synth& synth = open({sinePatch()});
    send(synth, {0x90, 60, 100, 0xF8, 62, 100, 0xFD});
    send(synth, {0xF0, 0xFE, 0x92, 64, 100, 0xFD});  // system bytes between commands are ignored
    // A stream that starts with data under a system running status ends at once.
    send(synth, {0xF1, 0xFD});
    send(synth, {0x40, 0x40, 0xFD});
    EXPECT_EQ(voiceTable(synth), "0:0/60 1:2/64");
}

TEST_F(SynthTest, NoteOnWithNoCandidateVoiceTouchesNothing) {
    Synth& synth = open({sinePatch(), sinePatch(0)});
    send(synth, {0x91, 60, 100, 0xC0, 1, 0xFD});
    const std::vector<uint8_t> before = snapshot(synth);
    send(synth, {0x90, 62, 100, 0xC0, 9, 0x90, 63, 100, 0xFD});  // program 9: beyond the bank
    synth.runningStatus = 0xC0;
    synth.channelControls[0].program = 1;
    EXPECT_TRUE(snapshot(synth) == before);
}

TEST_F(SynthTest, Channel15CommandsAlsoSteerTheSinger) {
    Synth& synth = open({sinePatch(), sinePatch(0)});
    speech::LyricSequencer& lyrics = synth.singer.sequencer;
    EXPECT_EQ(lyrics.speed, 3);  // initialised by the engine's init
    send(synth, {0xBE, 4, 70, 0xBF, 4, 70, 0xFD});
    EXPECT_EQ(lyrics.speed, 7);
    EXPECT_EQ(synth.channelControls[15].lane(4), 70);
    send(synth, {0xBF, 0, 70, 8, 70, 0xFD});  // lanes 1..7 only
    EXPECT_EQ(lyrics.speed, 7);

    // Note on, note off (velocity 0 too, even for a note not held) and all notes
    // off each clear their pause flag; channel 14 clears none.
    struct Case { std::vector<uint8_t> stream; bool onPause, offPause; };
    const Case cases[] = {{{0x9E, 60, 100, 0x8E, 60, 0, 0xBE, 123, 0}, true, true},
                          {{0x9F, 60, 100}, false, true},
                          {{0x9F, 61, 0}, true, false},
                          {{0x8F, 60, 0}, true, false},
                          {{0xBF, 127, 0}, true, false}};
    for (const Case& c : cases) {
        lyrics.noteOnPause = lyrics.noteOffPause = true;
        std::vector<uint8_t> stream = c.stream;
        stream.push_back(0xFD);
        synth.processEvents(stream.data());
        EXPECT_EQ(lyrics.noteOnPause, c.onPause) << int(c.stream[0]);
        EXPECT_EQ(lyrics.noteOffPause, c.offPause) << int(c.stream[0]);
    }
    // The singer hears of a note on before the voice search, even when no voice is found.
    lyrics.noteOnPause = true;
    send(synth, {0xCF, 1, 0x9F, 62, 100, 0xFD});
    EXPECT_FALSE(lyrics.noteOnPause);
    EXPECT_EQ(voicesOn(synth, 15), 0);
}

}  // namespace
}  // namespace zimblo::synth::test
