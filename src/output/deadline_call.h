// runWithDeadline: runs a call that may never return (a sound device's close
// waiting on a server that does not answer) on a thread of its own, and waits
// for it until a deadline.
//
// A call that is still running at the deadline is abandoned: its thread is
// detached and goes on, or ends with the process. The caller must then treat
// whatever the call touches as still in use. The thread's bookkeeping lives in
// shared storage, so an abandoned thread never touches the caller's stack.
#pragma once

#include <chrono>

namespace zimblo::output {

using DeadlineClock = std::chrono::steady_clock;

// True when `call(context)` returned by `deadline`; false when it was
// abandoned (or its thread could not be started: the call is then not made).
bool runWithDeadline(void (*call)(void* context), void* context, DeadlineClock::time_point deadline);

}  // namespace zimblo::output
