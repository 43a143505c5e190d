// Word by word the same bits, where two NaNs count as the same: which NaN operand an x86
// operation passes on depends on the operand order the compiler picks for a commutative
// operation, so a NaN's sign and payload are not part of the reproducible output. A blown-up
// filter is the only way to make one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zimblo {

inline bool sameBits(const void* a, const void* b, size_t size) {
    for (size_t at = 0; at < size; at += 4) {
        uint32_t x;
        uint32_t y;
        std::memcpy(&x, static_cast<const char*>(a) + at, 4);
        std::memcpy(&y, static_cast<const char*>(b) + at, 4);
        const auto isNan = [](uint32_t v) { return (v & 0x7FFFFFFFu) > 0x7F800000u; };
        if (x != y && !(isNan(x) && isNan(y))) return false;
    }
    return true;
}

}  // namespace zimblo
