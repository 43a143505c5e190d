// Stands in for the x86 intrinsics header in the WebAssembly build, which has no
// cycle counter: the free-running counter reads the host's microsecond clock
// instead. Renders that must repeat pin the counter, so its value never matters
// there.
#pragma once

#include <emscripten/emscripten.h>

inline unsigned long long __rdtsc() { return static_cast<unsigned long long>(emscripten_get_now() * 1000.0); }
