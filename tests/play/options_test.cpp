#include "options.h"

#include <gtest/gtest.h>

namespace zimblo::play {
namespace {

TEST(Options, StartTimesChannelListsAndSeeds) {
    EXPECT_EQ(parseStartTime("75"), 75000);
    EXPECT_EQ(parseStartTime("12.5"), 12500);
    EXPECT_EQ(parseStartTime("0.0005"), 0);  // half a millisecond rounds to even
    EXPECT_EQ(parseStartTime("0.0015"), 2);
    EXPECT_EQ(parseStartTime("1:02"), 62000);
    EXPECT_EQ(parseStartTime("1:02.25"), 62250);
    EXPECT_EQ(parseStartTime("2147483.647"), 2147483647);
    for (const char* bad : {"", "-1", "1:2", "1:60", "1:", ":30", "1.2.3", "2147483.648", "abc", "1e3"})
        EXPECT_EQ(parseStartTime(bad), std::nullopt) << bad;

    EXPECT_EQ(parseChannelList("0,3,15"), (1u << 0 | 1u << 3 | 1u << 15));
    for (const char* bad : {"", "16", "1,,2", "a", "3,"}) EXPECT_EQ(parseChannelList(bad), std::nullopt) << bad;

    EXPECT_EQ(parseSeed("0x5eed1234"), 0x5eed1234u);
    EXPECT_EQ(parseSeed("4294967295"), 4294967295u);
    EXPECT_EQ(parseSeed("4294967296"), std::nullopt);
}

TEST(Options, CommandLine) {
    char program[] = "zimblo-play", start[] = "--start", time[] = "1:00", mute[] = "--mute", list[] = "2,3",
         file[] = "a.song", dash[] = "--", dashFile[] = "--odd.song", unknown[] = "--volume";
    char* argv[] = {program, start, time, mute, list, file, dash, dashFile};
    Options options;
    EXPECT_EQ(parseOptions(8, argv, options), std::nullopt);
    EXPECT_EQ(options.startMs, 60000);
    EXPECT_EQ(options.mutes, 0b1100u);
    EXPECT_EQ(options.files, (std::vector<std::string>{"a.song", "--odd.song"}));
    char* bad[] = {program, unknown};
    Options other;
    EXPECT_EQ(parseOptions(2, bad, other), "unknown option '--volume'");
    char* missing[] = {program, start};
    EXPECT_NE(parseOptions(2, missing, other), std::nullopt);
}

}  // namespace
}  // namespace zimblo::play
