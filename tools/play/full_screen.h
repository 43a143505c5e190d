// The full-screen terminal front end: the alternate screen, the terminal's
// size and its changes, and writing a ScreenGrid out.
//
// enter switches to the alternate screen and hides the cursor; leave undoes
// both and is safe to call more than once. The terminal's keyboard mode and
// the shut-down signals are the zimblo program's (app/terminal.h); on top of
// them, every fatal-signal handler installed there and the Ctrl-Z handler
// leave the alternate screen first (and Ctrl-Z enters it again on continuing,
// asking for a redraw), so that the user's screen comes back on every way out.
// SIGWINCH asks for a redraw at the new size.
//
// A frame is written as one buffer: cursor home, then every row in full, so
// that nothing is cleared and nothing flickers; rows equal to the last frame's
// are skipped.
#pragma once

#include <string>
#include <vector>

#include "screen_grid.h"

namespace zimblo::play {

constexpr int kDefaultColumns = 80;
constexpr int kDefaultRows = 24;

class FullScreen {
public:
    // Output goes to `file` (a terminal).
    explicit FullScreen(int file);
    void enter();
    void leave();
    // Columns and rows of the terminal now (80×24 when it cannot say).
    void size(int& columns, int& rows) const;
    // True once after a resize or a continue: the next frame is drawn whole.
    bool takeRedrawRequest();
    void draw(const ScreenGrid& grid);

private:
    int file_;
    bool entered_ = false;
    std::vector<std::string> shown_;
};

// Installs the SIGWINCH handler and chains the alternate-screen exit in front
// of the fatal-signal and Ctrl-Z handlers already installed. Call after
// app::installSignalHandlers and before FullScreen::enter.
void installScreenSignalHandlers(int file);

}  // namespace zimblo::play
