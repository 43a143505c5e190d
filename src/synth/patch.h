// The song's patch bank and a bounds-checked view of one patch in it.
//
// Bank layout (little-endian): an offset table of P 32-bit entries, one per
// program, each the byte offset of that program's patch from the bank start;
// the patches follow. P is not stored: the table ends where the first patch
// starts, so P = offset[0] / 4.
//
// Patch layout (unsigned bytes):
//   0..58   voice parameters (0..255 as floats; only modulated values are clamped to 0..128)
//   59..87  channel parameters
//   88      voice limit: the most voices the patch may hold on one channel
//   89      route count n
//   90..    n modulation routes of 3 bytes (source, amount, destination)
// A patch is 90 + 3n bytes long.
//
// Lookup never reads outside the bank: a program at or beyond P, a bank too
// short for its own offset table, or a patch that does not lie wholly inside
// the bank all give the all-zero patch (voice limit 0, no routes, every
// parameter 0).
#pragma once

#include <cstdint>

namespace zimblo::synth {

struct PatchBank {
    const uint8_t* data = nullptr;
    uint32_t size = 0;  // bytes
};

// One modulation route: destination += source value · (amount − 64)/64, then
// clamped to 0..128.
struct ModRoute {
    uint8_t source = 0;       // see ModSource
    uint8_t amount = 64;      // 0..127; 64 is no modulation
    uint8_t destination = 0;  // 0..58 voice parameter, 59..87 channel parameter, 88+ nothing
};

static_assert(sizeof(ModRoute) == 3, "a route is three bytes in the bank");

// Modulation source numbers; 12 and above all mean the keyboard.
enum class ModSource : uint8_t {
    Velocity = 0,
    FirstLane = 1,  // 1..7: controller lanes 1..7 of the channel
    LastLane = 7,
    Envelope1 = 8,
    Envelope2 = 9,
    Lfo1 = 10,
    Lfo2 = 11,
    Keyboard = 12,  // (note − 48) · 2
};

constexpr int kVoiceParamCount = 59;
constexpr int kChannelParamCount = 29;
// Destinations from here on address channel parameters (destination − 59).
constexpr int kFirstChannelDestination = kVoiceParamCount;
// Destinations from here on address nothing.
constexpr int kFirstUnusedDestination = kVoiceParamCount + kChannelParamCount;

constexpr uint32_t kPatchHeaderBytes = 90;  // parameters, voice limit, route count
constexpr uint32_t kRouteBytes = 3;
constexpr uint32_t kVoiceLimitOffset = 88;
constexpr uint32_t kRouteCountOffset = 89;

// A view of one patch; always points at readable bytes (the bank's, or the
// all-zero patch).
struct Patch {
    const uint8_t* bytes = nullptr;

    float voiceParam(int index) const { return static_cast<float>(bytes[index]); }
    float channelParam(int index) const { return static_cast<float>(bytes[kFirstChannelDestination + index]); }
    uint32_t voiceLimit() const { return bytes[kVoiceLimitOffset]; }
    uint32_t routeCount() const { return bytes[kRouteCountOffset]; }
    ModRoute route(uint32_t index) const {
        const uint8_t* r = bytes + kPatchHeaderBytes + kRouteBytes * index;
        return ModRoute{r[0], r[1], r[2]};
    }
};

// The patch of a program, or the all-zero patch when the bank does not hold it.
Patch findPatch(const PatchBank& bank, uint32_t program);

// The number of programs the bank's offset table holds (offset[0] / 4), or 0
// when the bank cannot even hold its first offset.
uint32_t programCount(const PatchBank& bank);

}  // namespace zimblo::synth
