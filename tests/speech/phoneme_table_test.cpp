#include "speech/phoneme_table.h"

#include <cctype>
#include <string>

#include <gtest/gtest.h>

namespace zimblo::speech {
namespace {

TEST(PhonemeLookup, EachNameFindsItsOwnRowInEitherCaseAndFirstMatchWins) {
    for (int row = 0; row < kNamedPhonemeRows; ++row) {
        const std::string name(kPhonemeTable[row].name.data());
        std::string upper = name;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(lookUpPhoneme(name.c_str()).row, row) << name;
        EXPECT_EQ(lookUpPhoneme(upper.c_str()).row, row) << upper;
        EXPECT_EQ(lookUpPhoneme(upper.c_str()).length, static_cast<int>(name.size())) << upper;
    }
    EXPECT_EQ(lookUpPhoneme("aA").row, 16);
    // The text may go on after the name; two-letter names come first.
    EXPECT_EQ(lookUpPhoneme("thing").row, 2);   // "th", not "t"
    EXPECT_EQ(lookUpPhoneme("thing").length, 2);
    EXPECT_EQ(lookUpPhoneme("ngk").row, 1);     // "ng", not "n"
    EXPECT_EQ(lookUpPhoneme("tx").row, 34);
    EXPECT_EQ(lookUpPhoneme("tx").length, 1);
}

TEST(PhonemeLookup, TextMatchingNoRowIsOneSilenceOfOneByte) {
    for (const char* text : {"x", " ", "xyz", "7", "@", "\x80"}) {
        EXPECT_EQ(lookUpPhoneme(text).row, kSilenceRow) << text;
        EXPECT_EQ(lookUpPhoneme(text).length, 1) << text;
    }
    EXPECT_EQ(kPhonemeTable[kSilenceRow].frames[0], 18);
}

}  // namespace
}  // namespace zimblo::speech
