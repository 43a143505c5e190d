// The keyboard and the ways the process is asked to end.
//
// The keyboard is the controlling terminal (standard input when it is one,
// else /dev/tty), put in non-canonical, no-echo mode and read without
// blocking (VMIN = VTIME = 0) at each poll; signals stay enabled, so Ctrl-C
// still interrupts. It is used only while the process is in the terminal's
// foreground group, so that a background run is never stopped for touching
// it. When standard input is not a terminal its bytes count as keys too, and
// its end is no reason to quit.
//
// SIGINT, SIGTERM, SIGHUP, SIGQUIT, and every other signal sent to ask for an
// end (SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGPWR,
// SIGSTKFLT, the real-time signals) ask for the same shut-down as Escape, and
// give the terminal back at once. The terminal's settings are restored on
// every way out: at shut-down, before a stop by Ctrl-Z (and set again on
// continuing), and before a fatal signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGABRT, SIGTRAP, SIGSYS, SIGXCPU) takes its default course. SIGPIPE is
// ignored, so that a closed standard output never ends the process with
// anything but 0, and so is SIGXFSZ, so that a write past the file-size limit
// fails and is reported instead of ending the process.
#pragma once

#include <cstddef>

namespace zimblo::app {

void installSignalHandlers();
// Opens the keyboard and switches the terminal's mode; harmless without one.
void openKeyboard();
// One poll: reads what has arrived; true when it holds a lone ESC.
bool escapeDown();
// True once a shut-down signal has arrived.
bool shutdownRequested();
// Puts the terminal's settings back; async-signal-safe, may run more than once.
void restoreTerminal();

}  // namespace zimblo::app

namespace zimblo::app {

// One poll for programs that take more keys than Escape: copies up to
// `capacity` bytes that have arrived from the keyboard (and from standard
// input when it is not a terminal) into `bytes`; returns how many.
size_t readKeyBytes(unsigned char* bytes, size_t capacity);
// Waits up to timeoutMs for key bytes to arrive (as readKeyBytes would take
// them); true when some may be there, false after the timeout or a signal.
bool waitForKeyBytes(int timeoutMs);

}  // namespace zimblo::app
