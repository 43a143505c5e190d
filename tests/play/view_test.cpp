#include "view.h"

#include <gtest/gtest.h>

#include <string>

namespace zimblo::play {
namespace {

// A song at 1:23 of 5:50 with four channels sounding, one muted and one
// soloed, channel 15 singing and a compile error on screen.
ViewState sampleState() {
    ViewState s;
    s.fileName = "song.toml";
    s.title = "Lantern Circuit";
    s.fileIndex = 1;
    s.fileCount = 3;
    s.positionMs = 83'400;
    s.lengthMs = 350'900;
    s.bar = 56;
    s.beat = 3;
    s.lengthBar = 236;
    s.lengthBeat = 4;
    s.tempoBpm = 161.5;
    s.masterLevel = 0.5f;  // −6 dB
    s.clipMark = true;
    s.loadPercent = 4.25;
    s.volumePercent = 90;
    s.channels = {{0, "kick", 1, 1.0f, false, false},
                  {3, "tine_piano", 4, 0.1f, false, true},
                  {4, "program 12", 0, 0.0f, true, false},
                  {15, "voice", 2, 0.01f, false, false}};
    s.singing = true;
    s.lyric = "!DHAX_ !kwIH_k !br4AH_UHn";
    s.lyricPosition = 8;
    s.phoneme = "ih";
    s.message = "song.toml:3:1: unknown key 'tempo'";
    return s;
}

// Re-make with: print drawView(sampleState(), 40, 12).text() and check it by eye.
const char* const kSmall =
    "zimblo-play  song.toml - Lantern C [2/3]\n"
    "playing 1:23 / 5:50  bar 56:3 / 236:4   \n"
    "master ###################.. -6.0   CLIP\n"
    "161.5 bpm  cpu 4.2%  vol 90%  loop off  \n"
    "ch   program    vc level                \n"
    " 0   kick        1 ############## 0.0   \n"
    "   (3 more channels: enlarge the termina\n"
    "sings ih  !DHAX_ !kwIH_k !br4AH_UHn     \n"
    "! song.toml:3:1: unknown key 'tempo'    \n"
    "spc pause  <> 10s  v^ jk 1s  Home       \n"
    "n p file  0-f mute  s0-f solo  +- vol   \n"
    "l loop  q quit                          ";

TEST(View, LayoutAtTheSmallestSize) { EXPECT_EQ(drawView(sampleState(), 40, 12).text(), std::string(kSmall)); }

TEST(View, EverySizeKeepsTheKeysAndShowsWhatFits) {
    const ViewState state = sampleState();
    for (auto [width, height] : {std::pair{40, 12}, {41, 13}, {80, 24}, {132, 43}, {200, 60}}) {
        const ScreenGrid grid = drawView(state, width, height);
        std::string text = grid.text();
        ASSERT_EQ(text.size(), static_cast<size_t>(width * height + height - 1)) << width << "x" << height;
        // The legend is complete from 80 columns; the first rows and the channels fit from 24 rows.
        if (width >= 80) {
            for (const std::string& key : keyLegend()) EXPECT_NE(text.find(key), std::string::npos) << key;
            EXPECT_NE(text.find("Lantern Circuit"), std::string::npos);
        }
        const bool allChannels = text.find("more channels") == std::string::npos;
        EXPECT_EQ(allChannels, height >= 24) << width << "x" << height;
        if (allChannels) {
            EXPECT_NE(text.find("15   voice"), std::string::npos);
            EXPECT_NE(text.find(" 3 S tine_piano"), std::string::npos);
            EXPECT_NE(text.find(" 4 M program 12"), std::string::npos);
        }
        EXPECT_NE(grid.row(height - 1).find("quit"), std::string::npos) << width << "x" << height;
    }
    // Full scale fills the meter; −60 dB and silence leave it empty.
    EXPECT_EQ(meterBar(1.0f, 10), "##########");
    EXPECT_EQ(meterBar(0.0316228f, 10), "#####.....");  // −30 dB is half the range
    EXPECT_EQ(meterBar(0.001f, 10), "..........");
    EXPECT_EQ(meterBar(0.0f, 4), "....");
    EXPECT_EQ(minutesSeconds(3'599'999), "59:59");
    EXPECT_EQ(minutesSeconds(3'600'000), "60:00");
}

TEST(View, ScreenGridClipsAndReplacesWhatIsNotPrintable) {
    ScreenGrid grid(6, 2);
    grid.put(0, -2, "abcdefghij");
    grid.put(1, 4, "\xc3\xa9xyz");
    grid.put(5, 0, "outside");
    EXPECT_EQ(grid.text(), "cdefgh\n    ??");
    grid.putRight(1, "end");
    EXPECT_EQ(grid.row(1), "   end");
}

}  // namespace
}  // namespace zimblo::play
