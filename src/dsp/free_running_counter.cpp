#include "dsp/free_running_counter.h"

#include <atomic>
#include <x86intrin.h>

namespace zimblo::dsp {

namespace {
std::atomic<bool> gPinned{false};
std::atomic<uint32_t> gPinnedValue{0};
}  // namespace

uint32_t readFreeRunningCounter() {
    if (gPinned.load(std::memory_order_relaxed)) return gPinnedValue.load(std::memory_order_relaxed);
    return static_cast<uint32_t>(__rdtsc());
}

void pinFreeRunningCounter(uint32_t value) {
    gPinnedValue.store(value, std::memory_order_relaxed);
    gPinned.store(true, std::memory_order_relaxed);
}

void unpinFreeRunningCounter() { gPinned.store(false, std::memory_order_relaxed); }

}  // namespace zimblo::dsp
