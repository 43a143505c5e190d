#include "speech/phoneme_table.h"

namespace zimblo::speech {

namespace {
constexpr char kCaseFold = 0x20;   // OR-ed in, maps 'A'..'Z' onto 'a'..'z'
}  // namespace

const std::array<PhonemeRow, kPhonemeRowCount> kPhonemeTable = {{
    {{'s', 'i', 'l', 0}, {50, kNoFrame, kNoFrame, kNoFrame}},    // 0
    {{'n', 'g', 0, 0}, {38, kNoFrame, kNoFrame, kNoFrame}},
    {{'t', 'h', 0, 0}, {57, kNoFrame, kNoFrame, kNoFrame}},
    {{'s', 'h', 0, 0}, {55, kNoFrame, kNoFrame, kNoFrame}},
    {{'d', 'h', 0, 0}, {12, 51, 13, kNoFrame}},
    {{'z', 'h', 0, 0}, {67, 51, 67, kNoFrame}},                  // 5
    {{'c', 'h', 0, 0}, {9, 10, kNoFrame, kNoFrame}},
    {{'i', 'h', 0, 0}, {25, kNoFrame, kNoFrame, kNoFrame}},
    {{'e', 'h', 0, 0}, {16, kNoFrame, kNoFrame, kNoFrame}},
    {{'a', 'e', 0, 0}, {1, kNoFrame, kNoFrame, kNoFrame}},
    {{'a', 'h', 0, 0}, {60, kNoFrame, kNoFrame, kNoFrame}},      // 10
    {{'o', 'h', 0, 0}, {39, kNoFrame, kNoFrame, kNoFrame}},
    {{'u', 'h', 0, 0}, {42, kNoFrame, kNoFrame, kNoFrame}},
    {{'a', 'x', 0, 0}, {0, kNoFrame, kNoFrame, kNoFrame}},
    {{'i', 'y', 0, 0}, {17, kNoFrame, kNoFrame, kNoFrame}},
    {{'e', 'r', 0, 0}, {19, kNoFrame, kNoFrame, kNoFrame}},      // 15
    {{'a', 'a', 0, 0}, {4, kNoFrame, kNoFrame, kNoFrame}},
    {{'a', 'o', 0, 0}, {5, kNoFrame, kNoFrame, kNoFrame}},
    {{'u', 'w', 0, 0}, {61, kNoFrame, kNoFrame, kNoFrame}},
    {{'e', 'y', 0, 0}, {2, 25, kNoFrame, kNoFrame}},
    {{'a', 'y', 0, 0}, {28, 25, kNoFrame, kNoFrame}},            // 20
    {{'o', 'y', 0, 0}, {41, 25, kNoFrame, kNoFrame}},
    {{'a', 'w', 0, 0}, {45, 46, kNoFrame, kNoFrame}},
    {{'o', 'w', 0, 0}, {40, 46, kNoFrame, kNoFrame}},
    {{'i', 'a', 0, 0}, {26, 27, kNoFrame, kNoFrame}},
    {{'e', 'a', 0, 0}, {3, 27, kNoFrame, kNoFrame}},             // 25
    {{'u', 'a', 0, 0}, {43, 27, kNoFrame, kNoFrame}},
    {{'l', 'l', 0, 0}, {35, kNoFrame, kNoFrame, kNoFrame}},
    {{'w', 'h', 0, 0}, {63, kNoFrame, kNoFrame, kNoFrame}},
    {{'i', 'x', 0, 0}, {0, kNoFrame, kNoFrame, kNoFrame}},
    {{'e', 'l', 0, 0}, {34, kNoFrame, kNoFrame, kNoFrame}},      // 30
    {{'r', 'x', 0, 0}, {53, kNoFrame, kNoFrame, kNoFrame}},
    {{'h', 0, 0, 0}, {24, kNoFrame, kNoFrame, kNoFrame}},
    {{'p', 0, 0, 0}, {47, 48, 49, kNoFrame}},
    {{'t', 0, 0, 0}, {56, 58, 59, kNoFrame}},
    {{'k', 0, 0, 0}, {31, 32, 33, kNoFrame}},                    // 35
    {{'b', 0, 0, 0}, {6, 7, 8, kNoFrame}},
    {{'d', 0, 0, 0}, {11, 14, 15, kNoFrame}},
    {{'g', 0, 0, 0}, {21, 22, 23, kNoFrame}},
    {{'m', 0, 0, 0}, {36, kNoFrame, kNoFrame, kNoFrame}},
    {{'n', 0, 0, 0}, {37, kNoFrame, kNoFrame, kNoFrame}},        // 40
    {{'f', 0, 0, 0}, {20, kNoFrame, kNoFrame, kNoFrame}},
    {{'s', 0, 0, 0}, {54, kNoFrame, kNoFrame, kNoFrame}},
    {{'v', 0, 0, 0}, {62, 51, 62, kNoFrame}},
    {{'z', 0, 0, 0}, {66, 51, 68, kNoFrame}},
    {{'l', 0, 0, 0}, {34, kNoFrame, kNoFrame, kNoFrame}},        // 45
    {{'r', 0, 0, 0}, {52, kNoFrame, kNoFrame, kNoFrame}},
    {{'w', 0, 0, 0}, {63, kNoFrame, kNoFrame, kNoFrame}},
    {{'q', 0, 0, 0}, {51, kNoFrame, kNoFrame, kNoFrame}},
    {{'y', 0, 0, 0}, {65, kNoFrame, kNoFrame, kNoFrame}},
    {{'j', 0, 0, 0}, {29, 30, 51, 30}},                          // 50
    {{' ', 0, 0, 0}, {18, kNoFrame, kNoFrame, kNoFrame}},        // the fallback silence
}};

PhonemeMatch lookUpPhoneme(const char* text) {
    for (int row = 0; row < kNamedPhonemeRows; ++row) {
        const auto& name = kPhonemeTable[row].name;
        int length = 0;
        bool matches = true;
        while (length < static_cast<int>(name.size()) && name[length] != '\0') {
            const char c = text[length];
            if (c == '\0' || (c | kCaseFold) != (name[length] | kCaseFold)) {
                matches = false;
                break;
            }
            ++length;
        }
        if (matches) return PhonemeMatch{row, length};
    }
    return PhonemeMatch{kSilenceRow, 1};
}

}  // namespace zimblo::speech
