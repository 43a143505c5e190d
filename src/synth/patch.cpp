#include "synth/patch.h"

namespace zimblo::synth {

namespace {

// Stands in for every program the bank does not hold: voice limit 0, no routes.
constexpr uint8_t kZeroPatch[kPatchHeaderBytes] = {};

uint32_t readLittleEndian32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

uint32_t programCount(const PatchBank& bank) {
    if (bank.data == nullptr || bank.size < 4) return 0;
    return readLittleEndian32(bank.data) / 4;
}

Patch findPatch(const PatchBank& bank, uint32_t program) {
    const uint32_t programs = programCount(bank);
    // 64-bit sums: offsets near 2^32 must not wrap into the bank.
    const uint64_t size = bank.size;
    if (program >= programs || uint64_t{4} * programs > size) return Patch{kZeroPatch};
    const uint64_t offset = readLittleEndian32(bank.data + 4 * program);
    if (offset + kPatchHeaderBytes > size) return Patch{kZeroPatch};
    const uint64_t routes = bank.data[offset + kRouteCountOffset];
    if (offset + kPatchHeaderBytes + kRouteBytes * routes > size) return Patch{kZeroPatch};
    return Patch{bank.data + offset};
}

}  // namespace zimblo::synth
