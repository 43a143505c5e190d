// The embedded song's quality gates: its structure read back from the compiled bytes, and an
// offline render of the whole song (fixed seed) measured for clipping, loudness, gaps, the
// presence of every channel and stereo width.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "data/embedded_song.h"
#include "dsp/free_running_counter.h"
#include "dsp/simd_path.h"
#include "player/pcm16.h"
#include "player/player.h"
#include "player/song_format.h"
#include "synth/patch.h"

namespace zimblo::song {
namespace {

using player::LaneRef;
using player::Player;

constexpr uint32_t kSampleRate = 44100;
constexpr int kUsedTracks = 10;
constexpr uint32_t kTicksPerQuarter = 128;
constexpr uint32_t kMicrosecondsPerQuarter = 371519;
constexpr int kProgramCount = 12;
// Controller lane 7 is the channel volume; lane 1 carries the sweep of track 6.
constexpr int kVolumeLane = 7;
constexpr int kSweepLane = 1;
constexpr int kSweepTrack = 6;
constexpr int kKeysTrack = 3;
constexpr uint8_t kVolumeDestination = synth::kFirstChannelDestination;  // channel parameter 0

constexpr std::array<uint8_t, 23> kEffectBlock = {30, 127, 25, 87, 64, 64, 53, 54, 0, 67, 64, 0,
                                                  127, 0,  0,   1,  2,  90, 32, 20, 64, 64, 0};
constexpr const char* kLyric =
    "!DHAX_ !kwIH_k !br4AH_UHn !fAA_ks !jAH_mps !OW!vER_ !DHAX_ !lEY!zIY_ !dAA_g ";

// Gates on the rendered sound (dBFS as 20·log10 of the float sample, full scale 1.0).
constexpr double kMaxClampShare = 0.0001;       // 0.01 % of all samples
constexpr double kMaxPeakDb = -0.3;
constexpr double kMinRmsDb = -20.0;
constexpr double kMaxRmsDb = -12.0;
constexpr double kQuietDb = -50.0;
constexpr double kMaxQuietSeconds = 1.0;
constexpr double kChannelHeardDb = -40.0;
constexpr uint32_t kQuietWindowFrames = 441;    // 10 ms windows for the gap search
constexpr double kTailSeconds = 6.0;            // rendered past the last event
constexpr double kMinSideToMidEnergy = 0.01;    // L − R carries at least 1 % of the energy of L + R

double toDb(double amplitude) { return 20.0 * std::log10(std::max(amplitude, 1e-12)); }

// One event of a lane: its absolute tick and its running values (0..255).
struct LaneEvent {
    uint32_t tick = 0;
    int value1 = 0;
    int value2 = 0;
};

// Walks a lane as the sequencer does: deltas add up to ticks, value planes add up modulo 256.
std::vector<LaneEvent> decodeLane(const LaneRef& lane, uint32_t valuePlanes) {
    std::vector<LaneEvent> events;
    uint32_t tick = 0;
    uint8_t value1 = 0, value2 = 0;
    for (uint32_t i = 0; i < lane.count; ++i) {
        const uint8_t* p = lane.planes + i;
        tick += player::readDelta(p, lane.count);
        value1 = static_cast<uint8_t>(value1 + p[player::kDeltaPlanes * lane.count]);
        if (valuePlanes > 1) value2 = static_cast<uint8_t>(value2 + p[(player::kDeltaPlanes + 1) * lane.count]);
        events.push_back({tick, value1, value2});
    }
    return events;
}

// The program each used track starts with: 0..3 on tracks 0..3, 6..11 on tracks 4..9.
int startProgram(int track) { return track < 4 ? track : track + 2; }

class EmbeddedSongLayout : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        player_ = std::make_unique<Player>().release();
        ASSERT_EQ(player_->parseSong(data::kEmbeddedSong), 1u);
    }
    static void TearDownTestSuite() {
        delete player_;
        player_ = nullptr;
    }
    static const LaneRef& lane(int track, int laneIndex) { return player_->tracks[track][laneIndex]; }
    static std::vector<LaneEvent> programs(int track) { return decodeLane(lane(track, player::kProgramLane), 1); }

    static Player* player_;
};
Player* EmbeddedSongLayout::player_ = nullptr;

TEST_F(EmbeddedSongLayout, IsWellFormedWithOneTempoAndLastsFiveToSevenMinutes) {
    EXPECT_EQ(player::checkSong(data::kEmbeddedSong, data::kEmbeddedSongSize), "");
    EXPECT_EQ(player_->ticksPerQuarter, kTicksPerQuarter);
    ASSERT_EQ(player_->tempoCount, 1u);
    const LaneRef tempo{1, player_->tempoMap};
    EXPECT_EQ(player::readDelta(tempo.planes, 1), 0u);
    EXPECT_EQ(player::readU32(tempo.planes + 3), kMicrosecondsPerQuarter);
    EXPECT_EQ(tempo.planes[7], 4);  // 4/4, the denominator stored as the note value
    EXPECT_EQ(tempo.planes[8], 4);
    EXPECT_EQ(tempo.planes[9], 8);

    const double seconds = player_->songLength * (kMicrosecondsPerQuarter * 1e-6 / kTicksPerQuarter);
    EXPECT_GE(seconds, 300.0);
    EXPECT_LE(seconds, 420.0);
    // The recorded length is the tick of the last event of any lane.
    uint32_t lastTick = 0;
    for (int t = 0; t < player::kTrackCount; ++t)
        for (int l = 0; l < player::kLanesPerTrack; ++l)
            if (player_->tracks[t][l].count > 0)
                lastTick = std::max(lastTick, decodeLane(lane(t, l), player::laneValuePlanes(l)).back().tick);
    EXPECT_EQ(player_->songLength, lastTick);
}

TEST_F(EmbeddedSongLayout, TracksZeroToNinePlayNotesAndTheRestAreEmpty) {
    for (int t = 0; t < player::kTrackCount; ++t) {
        const LaneRef& notes = lane(t, player::kNoteLane);
        if (t >= kUsedTracks) {
            EXPECT_EQ(notes.count, 0u) << "track " << t;
            continue;
        }
        ASSERT_GT(notes.count, 0u) << "track " << t;
        // Every note that starts also ends: as many note-offs (velocity 0) as note-ons per pitch.
        std::array<int, 128> held{};
        for (const LaneEvent& e : decodeLane(notes, 2)) {
            ASSERT_LT(e.value1, 128) << "track " << t;
            held[e.value1] += e.value2 > 0 ? 1 : -1;
            EXPECT_GE(held[e.value1], 0) << "track " << t << " tick " << e.tick;
        }
        EXPECT_EQ(*std::max_element(held.begin(), held.end()), 0) << "track " << t << " leaves a note held";
    }
}

TEST_F(EmbeddedSongLayout, EveryTrackOpensWithItsProgramTwiceAndOnlyTrackThreeSwitches) {
    for (int t = 0; t < kUsedTracks; ++t) {
        const std::vector<LaneEvent> events = programs(t);
        ASSERT_GE(events.size(), 2u) << "track " << t;
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(events[i].tick, 0u) << "track " << t;
            EXPECT_EQ(events[i].value1, startProgram(t)) << "track " << t;
        }
        if (t != kKeysTrack) {
            EXPECT_EQ(events.size(), 2u) << "track " << t;
        }
    }

    // Track 3 moves among programs 3, 4 and 5 while it plays, and uses each of them.
    const std::vector<LaneEvent> keys = programs(kKeysTrack);
    std::set<int> used;
    int changes = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_GE(keys[i].value1, 3);
        EXPECT_LE(keys[i].value1, 5);
        used.insert(keys[i].value1);
        if (i > 0 && keys[i].value1 != keys[i - 1].value1) {
            ++changes;
            EXPECT_GT(keys[i].tick, 0u);
        }
    }
    EXPECT_EQ(used, (std::set<int>{3, 4, 5}));
    EXPECT_GE(changes, 3);
}

TEST_F(EmbeddedSongLayout, LaneSevenOnEveryTrackLaneOneOnlyOnTrackSixAndNoPitchBend) {
    for (int t = 0; t < kUsedTracks; ++t) {
        EXPECT_EQ(lane(t, player::kPitchBendLane).count, 0u) << "track " << t;
        EXPECT_GT(lane(t, player::controllerLane(kVolumeLane)).count, 0u) << "track " << t;
        for (int c = 1; c < kVolumeLane; ++c) {
            const uint32_t count = lane(t, player::controllerLane(c)).count;
            if (c == kSweepLane && t == kSweepTrack) {
                EXPECT_GT(count, 0u);
            } else {
                EXPECT_EQ(count, 0u) << "track " << t << " lane " << c;
            }
        }
    }
    // Lane 1 of track 6 is a sweep: many small steps covering most of the 0..127 range.
    const std::vector<LaneEvent> sweep = decodeLane(lane(kSweepTrack, player::controllerLane(kSweepLane)), 1);
    ASSERT_GE(sweep.size(), 100u);
    int lowest = 127, highest = 0;
    for (const LaneEvent& e : sweep) {
        lowest = std::min(lowest, e.value1);
        highest = std::max(highest, e.value1);
        EXPECT_LE(e.value1, 127);
    }
    EXPECT_LE(lowest, 16);
    EXPECT_GE(highest, 112);
}

TEST_F(EmbeddedSongLayout, BankHoldsTwelvePatchesEachWithItsVolumeRouteAndTheSweepIsRouted) {
    const synth::PatchBank& bank = player_->patchBank;
    ASSERT_GE(bank.size, 4u);
    ASSERT_EQ(player::readU32(bank.data), 4u * kProgramCount);  // the offset table ends at the first patch
    for (int program = 0; program < kProgramCount; ++program) {
        const uint32_t offset = player::readU32(bank.data + 4 * program);
        ASSERT_LE(offset + synth::kPatchHeaderBytes, bank.size) << "program " << program;
        const synth::Patch patch{bank.data + offset};
        ASSERT_LE(offset + synth::kPatchHeaderBytes + synth::kRouteBytes * patch.routeCount(), bank.size);
        EXPECT_GT(patch.voiceLimit(), 0u) << "program " << program;

        int volumeRoutes = 0, sweepRoutes = 0;
        for (uint32_t r = 0; r < patch.routeCount(); ++r) {
            const synth::ModRoute route = patch.route(r);
            if (route.source == kVolumeLane && route.destination == kVolumeDestination) {
                ++volumeRoutes;
                EXPECT_GE(route.amount, 76) << "program " << program;
                EXPECT_LE(route.amount, 127) << "program " << program;
            }
            if (route.source == kSweepLane && route.amount != 64 &&
                route.destination < synth::kFirstUnusedDestination)
                ++sweepRoutes;
        }
        EXPECT_EQ(volumeRoutes, 1) << "program " << program;
        // Only track 6's patch listens to lane 1, and it must turn the sweep into sound.
        if (program == startProgram(kSweepTrack)) {
            EXPECT_GE(sweepRoutes, 1);
        } else {
            EXPECT_EQ(sweepRoutes, 0) << "program " << program;
        }
    }
    // The patches follow the table back to back and fill the bank exactly.
    uint32_t end = 4u * kProgramCount;
    for (int program = 0; program < kProgramCount; ++program) {
        EXPECT_EQ(player::readU32(bank.data + 4 * program), end);
        const synth::Patch patch{bank.data + end};
        end += synth::kPatchHeaderBytes + synth::kRouteBytes * patch.routeCount();
    }
    EXPECT_EQ(end, bank.size);
}

TEST_F(EmbeddedSongLayout, EffectBlockAndLyricAreExactlyTheShippedOnes) {
    ASSERT_EQ(player_->effectBlockSize, kEffectBlock.size());
    EXPECT_EQ(std::memcmp(player_->effectBlock, kEffectBlock.data(), kEffectBlock.size()), 0);

    ASSERT_NE(player_->textBlock, nullptr);
    const uint32_t textBlockSize = player::readU32(player_->textBlock - 4);
    EXPECT_EQ(player::readU32(player_->textBlock), 1u);  // one text
    EXPECT_EQ(std::string(player_->texts[0]), kLyric);
    EXPECT_EQ(std::strlen(kLyric), 76u);
    EXPECT_EQ(textBlockSize, 4u + 4u + 77u);
    // The text block is the last thing in the song data.
    EXPECT_EQ(player_->textBlock + textBlockSize, data::kEmbeddedSong + data::kEmbeddedSongSize);
}

// ---------------------------------------------------------------------------------------------
// The rendered song, measured once for all the sound gates.

struct RenderFigures {
    uint64_t songFrames = 0;     // frames up to the step that emitted the last event
    uint64_t renderedFrames = 0;
    uint64_t clampedSamples = 0;
    double peak = 0.0;
    double sumSquares = 0.0;     // both sides, over the song frames
    double midEnergy = 0.0;      // Σ (L + R)²
    double sideEnergy = 0.0;     // Σ (L − R)²
    uint64_t longestQuietFrames = 0;
    std::array<float, kUsedTracks> channelPeaks{};
};

// When ZIMBLO_SONG_RENDER names a file, the render is also written there (44.1 kHz float32
// stereo, interleaved, the song and its tail) for scripts/song-balance.py to measure.
RenderFigures renderEmbeddedSong() {
    RenderFigures figures;
    const char* renderPath = std::getenv("ZIMBLO_SONG_RENDER");
    std::FILE* renderFile = renderPath != nullptr && *renderPath != 0 ? std::fopen(renderPath, "wb") : nullptr;
    if (renderPath != nullptr && *renderPath != 0) {
        EXPECT_NE(renderFile, nullptr) << renderPath;
    }
    dsp::pinFreeRunningCounter(1);
    auto player = std::make_unique<Player>();
    EXPECT_EQ(player->open(data::kEmbeddedSong, kSampleRate), 1u);
    player->play(0);
    player->synth.setMeterMode(0);  // peak meters

    const double quietLimit = std::pow(10.0, kQuietDb / 20.0);
    const uint64_t tailFrames = static_cast<uint64_t>(kTailSeconds * kSampleRate);
    std::array<StereoFrame, 128> block{};
    uint64_t quietRun = 0, windowFrames = 0;
    double windowSquares = 0.0;
    bool ended = false;
    // A control frame per call, so every channel meter is read after each frame it was updated in.
    while (!ended || figures.renderedFrames < figures.songFrames + tailFrames) {
        player->render(block.data(), block.size(), 0);
        if (renderFile != nullptr) {
            static_assert(sizeof(StereoFrame) == 2 * sizeof(float));
            EXPECT_EQ(std::fwrite(block.data(), sizeof(StereoFrame), block.size(), renderFile), block.size());
        }
        for (const StereoFrame& frame : block) {
            for (float sample : {frame.left, frame.right}) {
                figures.peak = std::max(figures.peak, static_cast<double>(std::fabs(sample)));
                if (std::abs(player::toPcm16(sample)) == player::kPcm16Limit) ++figures.clampedSamples;
            }
            if (ended) continue;
            const double left = frame.left, right = frame.right;
            figures.sumSquares += left * left + right * right;
            figures.midEnergy += (left + right) * (left + right);
            figures.sideEnergy += (left - right) * (left - right);
            windowSquares += left * left + right * right;
            if (++windowFrames == kQuietWindowFrames) {
                const bool quiet = std::sqrt(windowSquares / (2.0 * kQuietWindowFrames)) < quietLimit;
                quietRun = quiet ? quietRun + kQuietWindowFrames : 0;
                figures.longestQuietFrames = std::max(figures.longestQuietFrames, quietRun);
                windowFrames = 0;
                windowSquares = 0.0;
            }
        }
        figures.renderedFrames += block.size();
        if (!ended) figures.songFrames = figures.renderedFrames;
        for (int c = 0; c < kUsedTracks; ++c) {
            float left = 0.0f, right = 0.0f;
            player->synth.channelLevel(c, left, right);
            figures.channelPeaks[c] = std::max({figures.channelPeaks[c], left, right});
        }
        if (player->state == player::PlayState::Ended) ended = true;
    }
    dsp::unpinFreeRunningCounter();
    if (renderFile != nullptr) {
        EXPECT_EQ(std::fclose(renderFile), 0);
    }
    return figures;
}

// One render serves every sound gate: rendering the whole song takes seconds, and each test
// runs in its own process under ctest.
TEST(EmbeddedSongSound, MeetsTheClippingLoudnessGapChannelAndStereoGates) {
    const RenderFigures f = renderEmbeddedSong();

    // Clipping and headroom.
    const double clampShare = static_cast<double>(f.clampedSamples) / (2.0 * f.renderedFrames);
    EXPECT_LE(clampShare, kMaxClampShare) << f.clampedSamples << " samples at the clamp";
    EXPECT_LE(toDb(f.peak), kMaxPeakDb);

    // Loudness and gaps over the song proper, which ends at the step of its last event.
    EXPECT_GE(f.songFrames, 300ull * kSampleRate);
    EXPECT_LE(f.songFrames, 420ull * kSampleRate);
    const double rmsDb = toDb(std::sqrt(f.sumSquares / (2.0 * f.songFrames)));
    EXPECT_GE(rmsDb, kMinRmsDb);
    EXPECT_LE(rmsDb, kMaxRmsDb);
    EXPECT_LE(static_cast<double>(f.longestQuietFrames) / kSampleRate, kMaxQuietSeconds);

    // Every used channel is heard, and the mix is not mono.
    for (int c = 0; c < kUsedTracks; ++c) {
        EXPECT_GT(toDb(f.channelPeaks[c]), kChannelHeardDb) << "channel " << c;
        RecordProperty("channel" + std::to_string(c) + "_peak_dbfs", std::to_string(toDb(f.channelPeaks[c])));
    }
    EXPECT_GE(f.sideEnergy, kMinSideToMidEnergy * f.midEnergy);

    RecordProperty("peak_dbfs", std::to_string(toDb(f.peak)));
    RecordProperty("clamped_samples", std::to_string(f.clampedSamples));
    RecordProperty("rms_dbfs", std::to_string(rmsDb));
    RecordProperty("longest_quiet_ms", std::to_string(f.longestQuietFrames * 1000 / kSampleRate));
    RecordProperty("side_to_mid_db", std::to_string(10.0 * std::log10(f.sideEnergy / f.midEnergy)));
}

// The voice groups in SIMD lanes and the scalar reference render the song's first 20 seconds
// (every patch, the busiest passage) to the same bits, in an odd block size.
TEST(EmbeddedSongPaths, EverySimdPathRendersTheScalarBits) {
    const auto render = [](dsp::SimdPath path) {
        dsp::setSimdPath(path);
        dsp::pinFreeRunningCounter(1);
        auto player = std::make_unique<Player>();
        EXPECT_EQ(player->open(data::kEmbeddedSong, kSampleRate), 1u);
        player->play(0);
        std::vector<StereoFrame> frames(20 * kSampleRate);
        for (size_t done = 0; done < frames.size(); done += 1000) {
            player->render(frames.data() + done, static_cast<uint32_t>(std::min<size_t>(1000, frames.size() - done)), 0);
        }
        dsp::unpinFreeRunningCounter();
        return frames;
    };
    const dsp::SimdPath saved = dsp::simdPath();
    const std::vector<StereoFrame> reference = render(dsp::SimdPath::Scalar);
    for (dsp::SimdPath path : {dsp::SimdPath::Sse2, dsp::SimdPath::Avx2, dsp::SimdPath::Avx512}) {
        if (!dsp::simdPathAvailable(path)) continue;
        const std::vector<StereoFrame> frames = render(path);
        EXPECT_EQ(0, std::memcmp(reference.data(), frames.data(), reference.size() * sizeof(StereoFrame)))
            << dsp::simdPathName(path);
    }
    dsp::setSimdPath(saved);
}

}  // namespace
}  // namespace zimblo::song
