// Scheduling for the feeder thread: the highest priority the process may have;
// and the signals the output's own threads leave to the program's main thread.
//
// First real-time FIFO scheduling at the highest priority the
// process is allowed (RLIMIT_RTPRIO bounds an unprivileged process); failing
// that, the lowest nice value the process may give the thread. Refusals are
// silent: the feeder then runs at normal priority.
#pragma once

namespace zimblo::output {

// Returns true when the thread got real-time scheduling or a better nice value.
bool raiseCurrentThreadPriority();

// Blocks every asynchronous signal in the calling thread (faults such as SIGSEGV
// stay deliverable), so that a request to end the program reaches the main
// thread, whose poll sees it at once, and never a feeder or close thread that may
// sit in a device call for long.
void leaveSignalsToTheMainThread();

}  // namespace zimblo::output
