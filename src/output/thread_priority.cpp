#include "output/thread_priority.h"

#include <pthread.h>
#include <signal.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace zimblo::output {

namespace {

bool tryRealTime() {
    const int highest = sched_get_priority_max(SCHED_FIFO);
    if (highest < 0) return false;
    sched_param parameters{};
    parameters.sched_priority = highest;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0) return true;

    // Unprivileged: RLIMIT_RTPRIO is the ceiling.
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) != 0 || limit.rlim_cur == 0) return false;
    const rlim_t allowed = limit.rlim_cur < static_cast<rlim_t>(highest) ? limit.rlim_cur : static_cast<rlim_t>(highest);
    parameters.sched_priority = static_cast<int>(allowed);
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0;
}

bool tryBetterNice() {
    // On Linux a nice value set through the thread id applies to that thread only.
    const auto threadId = static_cast<id_t>(syscall(SYS_gettid));
    constexpr int kBestNice = -20;
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, threadId);
    if (current == -1 && errno != 0) return false;
    for (int nice = kBestNice; nice < current; ++nice)
        if (setpriority(PRIO_PROCESS, threadId, nice) == 0) return true;
    return false;
}

}  // namespace

bool raiseCurrentThreadPriority() { return tryRealTime() || tryBetterNice(); }

void leaveSignalsToTheMainThread() {
    sigset_t asynchronous;
    sigfillset(&asynchronous);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) sigdelset(&asynchronous, fault);
    pthread_sigmask(SIG_BLOCK, &asynchronous, nullptr);
}

}  // namespace zimblo::output
