// printableText: a user-supplied value made safe to echo on a terminal.
//
// Control characters (bytes 0x00..0x1F and 0x7F, and the C1 controls
// U+0080..U+009F in UTF-8) and bytes that are not valid UTF-8 become \xNN
// escapes (one per byte); a backslash becomes \\. Everything else, UTF-8
// letters included, is kept, so ordinary names read as typed while an escape
// sequence in a value can never reach the terminal as one.
#pragma once

#include <string>
#include <string_view>

namespace zimblo::output {

std::string printableText(std::string_view value);

}  // namespace zimblo::output
