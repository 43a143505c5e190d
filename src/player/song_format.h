// The song data format, read in place: a tempo map, sixteen tracks of events
// stored in byte planes per lane, the global effect block, the patch bank and
// the text block.
//
// Layout (integers little-endian; "u32" unsigned 32-bit):
//   0    u32 ticks per quarter
//   4    u32 song length: the tick of the last event (carried, not consulted)
//   8    u32 N, the tempo-map count
//   12   tempo map, 10·N bytes in planes: delta bits 0-7 | 8-15 | 16-23 (N bytes
//        each), N u32 tempos in microseconds per quarter (4N bytes, unaligned),
//        numerators, denominators (the note value: 4 = quarter), third bytes
//   then 16 track records: u32 note count n; when n is 0 the record ends there
//        (4 bytes, no lanes). Otherwise the note lane (5n), u32 program count p
//        and its lane (4p), u32 pitch-bend count b and its lane (5b), then
//        controller lanes 1..7, each a u32 count c and its lane (4c)
//   then u32 A (at most 16384) and the effect block, u32 B (at most 1048576)
//        and the patch bank, u32 T and the text block, read only when
//        0 < T < 8192: u32 K, K u32 offsets counted from the block start, the
//        NUL-terminated texts
//
// A lane of count c with k value planes holds (3 + k)·c bytes: the byte of
// event i in plane j lies at j·c + i. Deltas are 24-bit tick gaps from the
// lane's previous event (the first from tick 0); value planes hold differences
// that a running byte per plane sums modulo 256.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zimblo::player {

constexpr int kTrackCount = 16;

// The ten lanes of a track, in the order their references are kept.
constexpr int kLanesPerTrack = 10;
constexpr int kNoteLane = 0;
constexpr int kProgramLane = 1;
constexpr int kPitchBendLane = 2;
constexpr int kFirstControllerLane = 3;  // controller k (1..7) is lane 2 + k
constexpr int kControllerCount = 7;
constexpr int controllerLane(int number) { return kFirstControllerLane - 1 + number; }

// Planes of a lane: three delta planes, then the value planes.
constexpr uint32_t kDeltaPlanes = 3;
constexpr uint32_t kMaxDelta = 0xFFFFFF;  // 24 bits
constexpr uint32_t laneValuePlanes(int lane) {
    return (lane == kNoteLane || lane == kPitchBendLane) ? 2u : 1u;
}

constexpr size_t kHeaderBytes = 12;
constexpr size_t kTempoEntryBytes = 10;
constexpr uint32_t kMaxEffectBlockBytes = 16384;
constexpr uint32_t kMaxPatchBankBytes = 1048576;
// A text block is read only when its size lies in 1..kMaxTextBlockBytes.
constexpr uint32_t kMaxTextBlockBytes = 8191;
constexpr uint32_t kTextTableSize = 256;

// Largest ticks per quarter whose ×10000 (the tick-to-frame divisor) fits 32 bits.
constexpr uint32_t kMaxTicksPerQuarter = 0xFFFFFFFFu / 10000u;

// The tick value that means "no event pending"; no event may lie at it.
constexpr uint32_t kNoTick = 0xFFFFFFFFu;

inline uint32_t readU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The 24-bit delta of the event whose plane-0 byte is at p, in a lane (or the
// tempo map) of `count` events.
inline uint32_t readDelta(const uint8_t* p, uint32_t count) {
    const size_t stride = count;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[stride]) << 8 |
           static_cast<uint32_t>(p[2 * stride]) << 16;
}

// Where one lane lies: its event count and its first plane.
struct LaneRef {
    uint32_t count = 0;
    const uint8_t* planes = nullptr;
};

using TrackLanes = std::array<LaneRef, kLanesPerTrack>;

// Checks a song of `length` bytes against the format before anything reads it:
// every count, lane and block must lie inside the data; ticks per quarter must
// be 1..kMaxTicksPerQuarter and every time-signature denominator non-zero; no
// lane may reach tick kNoTick; note numbers must be below 128 (a note written
// under running status with a larger number would read as a status byte); the
// patch bank's offset table and every patch with its routes must lie inside the
// bank; at most 256 texts, each NUL-terminated inside the text block. Sizes are
// computed in 64 bits, so no count can wrap. Returns an empty string for a
// well-formed song, else one line naming what is wrong and its byte offset.
std::string checkSong(const uint8_t* data, size_t length);

}  // namespace zimblo::player
