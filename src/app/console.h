// The console: standard output carries the program's two texts and nothing else.
#pragma once

namespace zimblo::app {

constexpr const char* kTitleText = "\nZIMBLO!\n";
constexpr const char* kPromptText = "\n\npress ESC to quit\n";

// Writes a NUL-terminated text, without the terminator, to standard output in
// one write; what was written and whether it failed are not looked at.
void writeConsole(const char* text);

}  // namespace zimblo::app
