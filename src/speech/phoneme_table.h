// The phonemes a lyric line can name, each a list of up to four formant
// frames, and the name lookup that reads them from the text.
//
// Lookup: rows 0..50 are tried in order; a row matches when every character
// of its name equals the text byte with both OR-ed with 0x20 (so case does
// not matter) and no NUL comes first. The first match wins, which is why the
// two-letter names ("th", "ch", "ah", …) come before the single letters.
// Text that matches nothing is one silence (row 51) consuming one byte.
#pragma once

#include <array>
#include <cstdint>

namespace zimblo::speech {

constexpr int kPhonemeRowCount = 52;
// Rows that can be named in a text; the last row is only the fallback.
constexpr int kNamedPhonemeRows = 51;
constexpr int kSilenceRow = 51;
constexpr int kFramesPerPhoneme = 4;
// A slot holding this index is empty, and so are all later slots of its row.
constexpr int8_t kNoFrame = -1;

struct PhonemeRow {
    std::array<char, 4> name{};   // up to three lower-case characters, NUL-padded
    std::array<int8_t, kFramesPerPhoneme> frames{};
};

extern const std::array<PhonemeRow, kPhonemeRowCount> kPhonemeTable;

struct PhonemeMatch {
    int32_t row = kSilenceRow;
    int32_t length = 1;   // bytes of text the phoneme consumes
};

// Looks the name up at text, which must not point at the line's NUL.
PhonemeMatch lookUpPhoneme(const char* text);

}  // namespace zimblo::speech
