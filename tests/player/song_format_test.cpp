// The song format: where the loader finds each part, the size limits, the
// text block, and what the checked loader refuses.

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "player/song_format.h"
#include "player/test_songs.h"

namespace zimblo::player {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes withU32(Bytes song, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) song[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    return song;
}

std::string problem(const Bytes& song) { return checkSong(song.data(), song.size()); }

Bytes songWithBank(Bytes bank) {  // no tempo map, 16 empty tracks, no effect block: bank at 84
    SongWriter w;
    w.setPatchBankBytes(std::move(bank));
    return w.build();
}

Bytes songWithEffects(size_t bytes) {  // effect block size at 76
    SongWriter w;
    w.setEffectBlock(Bytes(bytes, 1));
    return w.build();
}

Bytes textSong(const std::vector<std::string>& texts) {
    SongWriter w;
    for (const std::string& t : texts) w.addText(t);
    return w.build();
}

TEST(SongLoader, FindsEachPartInPlaceAndChecksTwoSizes) {
    SongWriter w;
    w.setTicksPerQuarter(96);
    w.addTempo(0, 500000, 3, 4, 8);
    w.addTempo(100, 400000);
    w.addNoteOn(1, 0, 60, 100);
    w.addNoteOff(1, 10, 60);
    w.addProgram(1, 0, 5);
    w.addNoteOn(2, 3, 62, 100);
    const Bytes song = w.build();
    auto p = test::newPlayer();
    ASSERT_EQ(p->parseSong(song.data()), 1u);
    EXPECT_EQ(p->scaledTicksPerQuarter, 960000u);
    EXPECT_EQ(p->songLength, 100u);
    // Tracks from 12 + 10·2 = 32; track 0 is its 4-byte count alone, so track
    // 1's notes start at 40, its programs at 40 + 10 + 4, its pitch bends at
    // 54 + 4 + 4, and after seven empty controller lanes track 2 counts at 90.
    EXPECT_EQ(p->tracks[1][kNoteLane].planes, song.data() + 40);
    EXPECT_EQ(p->tracks[1][kProgramLane].planes, song.data() + 54);
    EXPECT_EQ(p->tracks[1][kPitchBendLane].planes, song.data() + 62);
    EXPECT_EQ(p->tracks[2][kNoteLane].planes, song.data() + 94);

    // With N = 0 and empty tracks the effect block size lies at 76, the bank size at 80.
    Bytes bank(1048576, 0);  // one patch at offset 4, the rest unused
    bank[0] = 4;
    const Bytes bigBank = songWithBank(bank);
    bank.push_back(0);
    const std::pair<Bytes, std::string> limits[] = {
        {songWithEffects(16384), ""},
        {songWithEffects(16385), "effect block size 16385 (offset 76) exceeds 16384"},
        {bigBank, ""},
        {songWithBank(bank), "patch bank size 1048577 (offset 80) exceeds 1048576"},
    };
    for (const auto& [limit, message] : limits) {
        EXPECT_EQ(p->parseSong(limit.data()), message.empty() ? 1u : 0u) << message;
        EXPECT_EQ(problem(limit), message);
    }
    ASSERT_EQ(p->parseSong(bigBank.data()), 1u);
    EXPECT_EQ(p->patchBank.size, 1048576u);
}

TEST(SongLoader, TextBlockSizesAndOffsets) {
    auto p = test::newPlayer();
    auto allDefault = [&] {
        return std::all_of(p->texts.begin(), p->texts.end(), [](const char* t) { return std::strcmp(t, " ") == 0; });
    };
    Bytes song = textSong({});
    ASSERT_EQ(p->parseSong(song.data()), 1u);
    EXPECT_TRUE(allDefault());
    // K = 1, offset 8: the text follows its one-entry table. T = 8 + 8182 + 1 = 8191 is read.
    song = textSong({std::string(8182, 'a')});
    ASSERT_EQ(p->parseSong(song.data()), 1u);
    EXPECT_EQ(p->textBlock, song.data() + song.size() - 8191);
    EXPECT_EQ(p->texts[0], reinterpret_cast<const char*>(p->textBlock + 8));
    EXPECT_EQ(std::strlen(p->texts[0]), 8182u);
    EXPECT_EQ(p->texts[1], nullptr);
    song = textSong({std::string(8183, 'a')});  // T = 8192: not read
    ASSERT_EQ(p->parseSong(song.data()), 1u);
    EXPECT_TRUE(allDefault());
    EXPECT_EQ(problem(song), "");

    // A later song with fewer texts leaves none of the earlier one's behind.
    const Bytes three = textSong({"one", "two", "three"}), one = textSong({"solo"});
    ASSERT_EQ(p->parseSong(three.data()), 1u);
    ASSERT_EQ(p->parseSong(one.data()), 1u);
    EXPECT_STREQ(p->texts[0], "solo");
    EXPECT_EQ(p->texts[2], nullptr);

    // 257 texts: the table takes 256; the checked loader refuses the count (block at 88).
    std::vector<std::string> many;
    for (int i = 0; i < 257; ++i) many.push_back(std::to_string(i));
    song = textSong(many);
    ASSERT_EQ(p->parseSong(song.data()), 1u);
    EXPECT_STREQ(p->texts[255], "255");
    EXPECT_EQ(problem(song), "text count 257 (offset 88) exceeds 256");
}

TEST(SongChecker, RefusesTheSongCutShortAtEveryLength) {
    SongWriter w = test::writerWith({test::sinePatch(), test::sampleAndHoldPatch()});
    w.addTempo(0, 371519);
    w.addTempo(256, 400000, 3, 4, 8);
    w.addProgram(0, 0, 1);
    w.addNoteOn(0, 0, 60, 100);
    w.addController(1, 7, 0, 100);
    w.addPitchBend(1, 10, 0, 64);
    w.addNoteOn(1, 10, 64, 90);
    w.addText("!DHAX_ ");
    w.addText("second");
    Bytes song = w.build();
    auto p = test::newPlayer();
    std::string error;
    ASSERT_EQ(p->openChecked(song.data(), song.size(), 44100, &error), 1u) << error;
    for (size_t length = 0; length < song.size(); ++length) {
        auto cut = std::make_unique<uint8_t[]>(length + 1);  // exactly sized: any overread is past the data
        std::memcpy(cut.get(), song.data(), length);
        EXPECT_EQ(p->openChecked(cut.get(), length, 44100, &error), 0u);
        EXPECT_NE(error.find("runs past the end of the data (" + std::to_string(length) + " bytes)"),
                  std::string::npos) << error;
    }
    EXPECT_EQ(p->tempoMap, song.data() + 12);  // the refusals left the open song as it was
    song.push_back(0xAB);                      // trailing bytes are never read
    EXPECT_EQ(problem(song), "");
}

TEST(SongChecker, NamesTheFaultAndItsOffset) {
    SongWriter one;
    one.addNoteOn(0, 0, 60, 100);
    const Bytes base = one.build();  // effect block size at 12 + 45 + 15·4 = 117
    const std::string end = " runs past the end of the data (" + std::to_string(base.size()) + " bytes)";
    const Bytes texts = textSong({"ab", "cd"});  // the 18-byte text block at 88: "ab" at 100, "cd" at 103
    const std::string block = "the text block (18 bytes at offset 88)";
    Bytes bank(200, 0);
    bank[0] = bank[4] = 8;  // two programs, both at 8
    Bytes routes = bank;
    routes[8 + 89] = 35;  // 90 + 105 bytes from 8: past the bank's 200
    SongWriter signature, high, late;
    signature.addTempo(0, 500000);
    signature.addTempo(10, 500000, 4, 0);
    high.addNoteOn(0, 0, 60, 100);
    high.addNoteOn(0, 0, 200, 100);
    late.addNoteOn(0, 0, 60, 100);  // ticks 0xFFFFFF·k up to k = 256, then 0xFFFFFFFF, the "nothing pending" tick
    for (uint32_t k = 1; k <= 256; ++k) late.addController(0, 1, k * kMaxDelta, 1);
    late.addController(0, 1, 0xFFFFFFFF, 1);

    const std::pair<Bytes, std::string> cases[] = {
        {withU32(base, 0, 0), "ticks per quarter 0 (offset 0) is out of range 1..429496"},
        {withU32(base, 0, 429497), "ticks per quarter 429497 (offset 0) is out of range 1..429496"},
        {withU32(base, 0, 429496), ""},
        // Sizes are 64-bit: 10·N, 5·n and 4·2^30 would wrap in 32 bits.
        {withU32(base, 8, 0xFFFFFFFF), "tempo map of 4294967295 entries (42949672950 bytes at offset 12)" + end},
        {withU32(base, 12, 0xFFFFFFFF), "track 0 note lane (21474836475 bytes at offset 16)" + end},
        {withU32(base, 21, 0x40000000), "track 0 program lane (4294967296 bytes at offset 25)" + end},
        {withU32(base, 117, 16000), "effect block (16000 bytes at offset 121)" + end},
        {signature.build(), "tempo entry 1 has time-signature denominator 0 (offset 29)"},
        {high.build(), "track 0 note 1 (offset 23) has note number 200; note numbers must be below 128"},
        {late.build(), "track 0 controller lane 1 event 256 (offset 289) lies at tick 4294967295; ticks must "
                       "stay below 4294967295"},
        {songWithBank({}), ""},  // no programs at all
        {songWithBank(bank), ""},
        {songWithBank({4, 0}), "patch bank (2 bytes at offset 84) is too short for its offset table"},
        {songWithBank(withU32(bank, 0, 6)), "patch bank offset table end 6 (offset 84) is not a positive multiple of 4"},
        {songWithBank(withU32(bank, 0, 400)),
         "patch bank offset table end 400 (offset 84) lies outside the patch bank (200 bytes at offset 84)"},
        {songWithBank(withU32(bank, 4, 4)), "patch 1 offset 4 (offset 88) points into the offset table (8 bytes)"},
        {songWithBank(withU32(bank, 4, 120)),
         "patch 1 (90 bytes at offset 204) runs past the end of the patch bank (200 bytes at offset 84)"},
        {songWithBank(routes), "patch 0 with 35 routes (195 bytes at offset 92) runs past the end of the patch "
                               "bank (200 bytes at offset 84)"},
        {withU32(texts, 88 + 8, 18), "text 1 offset 18 (offset 96) lies outside " + block},
        {withU32(texts, 102, 0x78646300), "text 1 (at offset 103) has no NUL terminator inside " + block},
        {withU32(texts, 88, 4), "text offset table of 4 entries (16 bytes at offset 92) runs past the end of " + block},
    };
    for (const auto& [song, message] : cases) EXPECT_EQ(problem(song), message);
}

TEST(SongWriter, RefusesWhatTheFormatCannotHold) {
    SongWriter gap;
    gap.addNoteOn(0, kMaxDelta, 60, 100);
    EXPECT_NO_THROW(gap.build());
    gap.addProgram(0, kMaxDelta + 1, 3);  // a first delta of 2^24
    EXPECT_THROW(gap.build(), std::invalid_argument);
    SongWriter noNotes;
    noNotes.addController(4, 7, 0, 100);
    EXPECT_THROW(noNotes.build(), std::invalid_argument);
    EXPECT_THROW(noNotes.addText(std::string("a\0b", 3)), std::invalid_argument);
    EXPECT_THROW(noNotes.addController(0, 8, 0, 1), std::out_of_range);
    EXPECT_THROW(noNotes.addNoteOn(16, 0, 60, 1), std::out_of_range);
    PatchDescription crowded;
    crowded.routes.resize(256);
    EXPECT_THROW(buildPatchBank({crowded}), std::invalid_argument);
}

}  // namespace
}  // namespace zimblo::player
