#include "app/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>

#include "app/key_scan.h"

namespace zimblo::app {

namespace {

constexpr size_t kReadChunkBytes = 4096;

// Every signal whose default action ends the process, but for SIGKILL and
// SIGPIPE / SIGXFSZ (ignored): the requests end the program as Escape does
// (the real-time signals too); the faults restore the terminal and take their
// default course.
constexpr int kShutdownSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGUSR1, SIGUSR2,
                                    SIGALRM, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSTKFLT};
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS, SIGXCPU};

// Touched by signal handlers: plain values written before the handlers can
// read them.
int gTerminal = -1;
bool gTerminalOpenedHere = false;
termios gSavedSettings{};
termios gKeyboardSettings{};
volatile sig_atomic_t gTerminalChanged = 0;
volatile sig_atomic_t gShutdownRequested = 0;

int gPlainInput = -1;  // standard input when it is not a terminal

void applyKeyboardSettings() {
    if (gTerminal >= 0 && tcsetattr(gTerminal, TCSANOW, &gKeyboardSettings) == 0) gTerminalChanged = 1;
}

// The terminal is given back at once: whatever the shut-down then waits for,
// the user's terminal is no longer raw.
void onShutdownSignal(int) {
    const int savedErrno = errno;
    gShutdownRequested = 1;
    restoreTerminal();
    errno = savedErrno;
}

void onStopSignal(int) {
    const int savedErrno = errno;
    restoreTerminal();
    // Stop for real, with the default action, then take the terminal back.
    signal(SIGTSTP, SIG_DFL);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    raise(SIGTSTP);
    struct sigaction again{};
    again.sa_handler = onStopSignal;
    sigemptyset(&again.sa_mask);
    sigaction(SIGTSTP, &again, nullptr);
    if (gTerminal >= 0 && tcgetpgrp(gTerminal) == getpgrp()) applyKeyboardSettings();
    errno = savedErrno;
}

void onFatalSignal(int number) {
    restoreTerminal();
    raise(number);  // the handler was reset: the default action follows on return
}

bool inForeground(int terminal) { return tcgetpgrp(terminal) == getpgrp(); }

// The bytes available now from `file` (one read when `once`, else until a read
// comes back short); false at its end or on an error.
bool readAvailable(int file, bool once, bool& sawEscape) {
    std::array<uint8_t, kReadChunkBytes> bytes{};
    for (;;) {
        const ssize_t got = read(file, bytes.data(), bytes.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno == EAGAIN;
        if (got == 0) return false;
        if (holdsLoneEscape(bytes.data(), static_cast<size_t>(got))) sawEscape = true;
        if (once || static_cast<size_t>(got) < bytes.size()) return true;
    }
}

}  // namespace

void installSignalHandlers() {
    struct sigaction action{};
    sigemptyset(&action.sa_mask);
    action.sa_handler = onShutdownSignal;
    for (int number : kShutdownSignals) sigaction(number, &action, nullptr);
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) sigaction(number, &action, nullptr);

    action.sa_handler = onStopSignal;
    sigaction(SIGTSTP, &action, nullptr);

    action.sa_handler = onFatalSignal;
    action.sa_flags = SA_RESETHAND;
    for (int number : kFatalSignals) sigaction(number, &action, nullptr);

    signal(SIGPIPE, SIG_IGN);
    // A capture past the file-size limit then fails its write with EFBIG and
    // says so, instead of ending the process.
    signal(SIGXFSZ, SIG_IGN);
}

void openKeyboard() {
    int terminal = -1;
    if (isatty(STDIN_FILENO)) {
        terminal = STDIN_FILENO;
    } else {
        if (fcntl(STDIN_FILENO, F_GETFD) != -1) gPlainInput = STDIN_FILENO;
        terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        gTerminalOpenedHere = terminal >= 0;
    }
    if (terminal < 0) return;
    if (!inForeground(terminal) || tcgetattr(terminal, &gSavedSettings) != 0) {
        if (gTerminalOpenedHere) close(terminal);
        gTerminalOpenedHere = false;
        return;
    }
    gKeyboardSettings = gSavedSettings;
    gKeyboardSettings.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    gKeyboardSettings.c_cc[VMIN] = 0;
    gKeyboardSettings.c_cc[VTIME] = 0;
    gTerminal = terminal;
    applyKeyboardSettings();
}

bool escapeDown() {
    bool sawEscape = false;
    if (gTerminal >= 0 && inForeground(gTerminal)) readAvailable(gTerminal, false, sawEscape);
    if (gPlainInput >= 0) {
        pollfd waiting{gPlainInput, POLLIN, 0};
        if (poll(&waiting, 1, 0) > 0) {
            if ((waiting.revents & (POLLIN | POLLHUP)) == 0 || !readAvailable(gPlainInput, true, sawEscape))
                gPlainInput = -1;  // its end, or an error: no more keys from it
        }
    }
    return sawEscape;
}

bool shutdownRequested() { return gShutdownRequested != 0; }

void restoreTerminal() {
    if (gTerminalChanged != 0 && gTerminal >= 0 && tcsetattr(gTerminal, TCSANOW, &gSavedSettings) == 0)
        gTerminalChanged = 0;
}

}  // namespace zimblo::app

namespace zimblo::app {

namespace {

size_t readInto(int file, unsigned char* bytes, size_t capacity, bool& atEnd) {
    for (;;) {
        const ssize_t got = read(file, bytes, capacity);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            atEnd = errno != EAGAIN;
            return 0;
        }
        atEnd = got == 0;
        return static_cast<size_t>(got);
    }
}

}  // namespace

size_t readKeyBytes(unsigned char* bytes, size_t capacity) {
    size_t count = 0;
    bool atEnd = false;
    if (gTerminal >= 0 && inForeground(gTerminal) && capacity > 0) count += readInto(gTerminal, bytes, capacity, atEnd);
    if (gPlainInput >= 0 && count < capacity) {
        pollfd waiting{gPlainInput, POLLIN, 0};
        if (poll(&waiting, 1, 0) > 0) {
            if ((waiting.revents & (POLLIN | POLLHUP)) == 0) {
                gPlainInput = -1;
            } else {
                count += readInto(gPlainInput, bytes + count, capacity - count, atEnd);
                if (atEnd) gPlainInput = -1;  // its end, or an error: no more keys from it
            }
        }
    }
    return count;
}

bool waitForKeyBytes(int timeoutMs) {
    std::array<pollfd, 2> waiting{};
    nfds_t count = 0;
    if (gTerminal >= 0 && inForeground(gTerminal)) waiting[count++] = pollfd{gTerminal, POLLIN, 0};
    if (gPlainInput >= 0) waiting[count++] = pollfd{gPlainInput, POLLIN, 0};
    return poll(waiting.data(), count, timeoutMs) > 0;
}

}  // namespace zimblo::app
