#include "full_screen.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace zimblo::play {

namespace {

constexpr const char* kEnterSequence = "\x1b[?1049h\x1b[?25l\x1b[2J";
constexpr const char* kLeaveSequence = "\x1b[?25h\x1b[?1049l";

// Touched by signal handlers.
int gScreenFile = -1;
volatile sig_atomic_t gScreenEntered = 0;
volatile sig_atomic_t gRedrawRequested = 0;
std::array<struct sigaction, NSIG> gChained{};

void writeAll(int file, const char* bytes, size_t count) {
    while (count > 0) {
        const ssize_t written = write(file, bytes, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        bytes += written;
        count -= static_cast<size_t>(written);
    }
}

void writeText(const char* text) {
    if (gScreenFile >= 0) writeAll(gScreenFile, text, std::strlen(text));
}

void onResize(int) { gRedrawRequested = 1; }

// Leaves the alternate screen, then runs the handler that was there before.
void onChainedSignal(int number) {
    const int savedErrno = errno;
    const bool wasEntered = gScreenEntered != 0;
    if (wasEntered) writeText(kLeaveSequence);
    const struct sigaction& before = gChained[static_cast<size_t>(number)];
    if ((before.sa_flags & SA_SIGINFO) == 0 && before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN)
        before.sa_handler(number);
    // Back from a stop: the screen again, drawn whole.
    if (number == SIGTSTP && wasEntered) {
        writeText(kEnterSequence);
        gRedrawRequested = 1;
    }
    errno = savedErrno;
}

}  // namespace

void installScreenSignalHandlers(int file) {
    gScreenFile = file;
    struct sigaction resize{};
    sigemptyset(&resize.sa_mask);
    resize.sa_handler = onResize;
    sigaction(SIGWINCH, &resize, nullptr);

    for (int number = 1; number < NSIG; ++number) {
        if (number == SIGKILL || number == SIGSTOP || number == SIGWINCH) continue;
        struct sigaction current{};
        if (sigaction(number, nullptr, &current) != 0) continue;
        const bool handled = (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler != SIG_DFL &&
                             current.sa_handler != SIG_IGN;
        // The fatal ones are reset on delivery; the shut-down ones only set a flag
        // and the program leaves the screen itself.
        if (!handled || ((current.sa_flags & SA_RESETHAND) == 0 && number != SIGTSTP)) continue;
        gChained[static_cast<size_t>(number)] = current;
        struct sigaction chained = current;
        chained.sa_handler = onChainedSignal;
        chained.sa_flags &= ~SA_RESETHAND;
        if (number != SIGTSTP) chained.sa_flags |= SA_RESETHAND;
        sigaction(number, &chained, nullptr);
    }
}

FullScreen::FullScreen(int file) : file_(file) {}

void FullScreen::enter() {
    if (entered_) return;
    writeAll(file_, kEnterSequence, std::strlen(kEnterSequence));
    entered_ = true;
    gScreenEntered = 1;
    shown_.clear();
}

void FullScreen::leave() {
    if (!entered_) return;
    gScreenEntered = 0;
    writeAll(file_, kLeaveSequence, std::strlen(kLeaveSequence));
    entered_ = false;
}

void FullScreen::size(int& columns, int& rows) const {
    winsize window{};
    if (ioctl(file_, TIOCGWINSZ, &window) == 0 && window.ws_col > 0 && window.ws_row > 0) {
        columns = window.ws_col;
        rows = window.ws_row;
        return;
    }
    columns = kDefaultColumns;
    rows = kDefaultRows;
}

bool FullScreen::takeRedrawRequest() {
    if (gRedrawRequested == 0) return false;
    gRedrawRequested = 0;
    return true;
}

void FullScreen::draw(const ScreenGrid& grid) {
    if (takeRedrawRequest() || static_cast<int>(shown_.size()) != grid.height() ||
        (!shown_.empty() && static_cast<int>(shown_[0].size()) != grid.width())) {
        shown_.assign(static_cast<size_t>(grid.height()), std::string());
        writeAll(file_, "\x1b[2J", 4);
    }
    std::string out;
    for (int r = 0; r < grid.height(); ++r) {
        if (shown_[static_cast<size_t>(r)] == grid.row(r)) continue;
        out += "\x1b[" + std::to_string(r + 1) + ";1H";
        // The last cell of the last row is left alone: writing it scrolls some terminals.
        const std::string& row = grid.row(r);
        out += r + 1 == grid.height() ? row.substr(0, row.size() - (row.empty() ? 0 : 1)) : row;
        shown_[static_cast<size_t>(r)] = row;
    }
    if (!out.empty()) writeAll(file_, out.data(), out.size());
}

}  // namespace zimblo::play
