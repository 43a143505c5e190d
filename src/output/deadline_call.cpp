#include "output/deadline_call.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "output/thread_priority.h"

namespace zimblo::output {

namespace {

struct CallState {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
};

}  // namespace

bool runWithDeadline(void (*call)(void* context), void* context, DeadlineClock::time_point deadline) {
    auto state = std::make_shared<CallState>();
    std::thread worker;
    try {
        worker = std::thread([state, call, context] {
            leaveSignalsToTheMainThread();
            call(context);
            std::lock_guard<std::mutex> guard(state->mutex);
            state->done = true;
            state->finished.notify_all();
        });
    } catch (const std::system_error&) {
        return false;
    }
    std::unique_lock<std::mutex> guard(state->mutex);
    const bool done = state->finished.wait_until(guard, deadline, [&state] { return state->done; });
    guard.unlock();
    if (done) worker.join();
    else worker.detach();
    return done;
}

}  // namespace zimblo::output
