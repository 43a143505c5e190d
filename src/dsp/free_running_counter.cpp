#include "dsp/free_running_counter.h"

#include <atomic>
#if defined(__x86_64__)
#include <x86intrin.h>
#elif !defined(__aarch64__)
#include <chrono>
#endif

namespace zimblo::dsp {

namespace {
std::atomic<bool> gPinned{false};
std::atomic<uint32_t> gPinnedValue{0};
// The cycle counter on x86-64, the virtual timer count on ARM64 (readable by
// programs), a steady clock's ticks elsewhere.
uint32_t readCounter() {
#if defined(__x86_64__)
    return static_cast<uint32_t>(__rdtsc());
#elif defined(__aarch64__)
    uint64_t ticks;
    asm volatile("mrs %0, cntvct_el0" : "=r"(ticks));
    return static_cast<uint32_t>(ticks);
#else
    return static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

}  // namespace

uint32_t readFreeRunningCounter() {
    if (gPinned.load(std::memory_order_relaxed)) return gPinnedValue.load(std::memory_order_relaxed);
    return readCounter();
}

void pinFreeRunningCounter(uint32_t value) {
    gPinnedValue.store(value, std::memory_order_relaxed);
    gPinned.store(true, std::memory_order_relaxed);
}

void unpinFreeRunningCounter() { gPinned.store(false, std::memory_order_relaxed); }

}  // namespace zimblo::dsp
