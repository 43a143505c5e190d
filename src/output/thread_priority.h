// Scheduling for the feeder thread: the highest priority the process may have.
//
// First real-time FIFO scheduling at the highest priority the
// process is allowed (RLIMIT_RTPRIO bounds an unprivileged process); failing
// that, the lowest nice value the process may give the thread. Refusals are
// silent: the feeder then runs at normal priority.
#pragma once

namespace zimblo::output {

// Returns true when the thread got real-time scheduling or a better nice value.
bool raiseCurrentThreadPriority();

}  // namespace zimblo::output
