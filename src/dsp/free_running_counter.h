// The processor's free-running cycle counter, read through one seam.
//
// Sample-and-hold LFOs seed their random state from it, so that sequences
// differ between runs. A renderer that must be reproducible pins it: every read
// then returns the pinned value.
#pragma once

#include <cstdint>

namespace zimblo::dsp {

// The low 32 bits of the cycle counter, or the pinned value.
uint32_t readFreeRunningCounter();

void pinFreeRunningCounter(uint32_t value);
void unpinFreeRunningCounter();

}  // namespace zimblo::dsp
