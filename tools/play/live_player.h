// LivePlayer: the live player's control of one Player through the audio output -
// the playlist, the transport keys, mutes and solos, the end rule, reloading
// on change - and the snapshot of what is heard that the view draws.
//
// Two sides. The render side (render, called by the output's feeder with the
// output's lock held) renders the song through the end rule, or silence while
// paused or after the end, and records for each block what the engine
// reported (meters, voices, programs, bar and beat, tempo, the singer) with
// the block's place in the output stream and in the song. The control side
// (apply, poll, view, on the program's thread) takes the output's lock around
// every change to what the render side reads, and reads the record of the
// block being heard now - the output plays one ring later than it renders -
// so that position and meters show what is heard.
//
// A seek, a restart, a song change or a reload gives up what the output has
// queued beyond its short lead, so that it is heard within 0.1 s, and so
// does a resume once the pause's silence is all that is queued. A pause is
// left to the lap: giving up what is queued would lose the song's stretch that
// was rendered for it.
//
// Seeks land on whole seconds: the heard position's whole seconds plus or
// minus the step (or the last seek's target while that is not heard yet).
// Mutes and solos are the engine's channel mutes (output into the master
// only); with any solo set, the channels not soloed are muted.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "file_watch.h"
#include "key_commands.h"
#include "player/end_rule.h"
#include "player/player.h"
#include "playlist.h"
#include "song_loader.h"
#include "view.h"

namespace zimblo::play {

// The audio output as the live player uses it (a test stands in for it).
class OutputPort {
public:
    virtual ~OutputPort() = default;
    virtual void lock() = 0;
    virtual void unlock() = 0;
    // Frames of the rendered stream heard so far; negative before the first.
    virtual int64_t heardFrames() = 0;
    virtual void setVolume(float volume) = 0;
    // Asks for the next fill at once.
    virtual void wake() = 0;
    // Under the lock: gives up what is queued beyond a short lead after what is
    // heard, so that the next render is heard after the lead; returns the frames
    // given up (the render goes on that much earlier in the stream).
    virtual uint64_t discardQueued() = 0;
};

struct PlaySettings {
    bool loop = false;
    bool watch = false;
    uint32_t mutes = 0;   // bit per channel
    uint32_t solos = 0;
    int32_t startMs = 0;  // of the first file only
};

constexpr uint32_t kPlayRate = 44100;
constexpr int kVolumeStepPercent = 10;
constexpr uint64_t kClipHoldMs = 1000;
constexpr uint64_t kWatchIntervalMs = 250;
constexpr uint64_t kLoadWindowMs = 500;
// A sample at or beyond this (times the volume) is clamped by the 16-bit output.
constexpr float kClipLevel = 32600.0f / 32768.0f;

// What one rendered block held, recorded by the render side.
struct BlockRecord {
    uint64_t streamFrame = 0;  // first frame of the block in the output stream
    uint64_t songFrame = 0;    // song position of that frame
    bool advancing = false;    // the song moved on during the block
    player::PlayState state = player::PlayState::Stopped;
    bool paused = false;
    uint32_t bar = 0;          // from 0, at the block's end
    uint32_t beat = 0;
    uint32_t scaledSamplesPerQuarter = 0;
    float blockPeak = 0.0f;
    StereoFrame master;
    std::array<StereoFrame, 16> channels{};
    std::array<uint32_t, 17> voices{};
    std::array<uint32_t, 16> programs{};
    int32_t lyricIndex = -1;   // the text being sung, -1 none
    uint32_t lyricOffset = 0;
    int32_t phonemeRow = 0;
};

constexpr size_t kBlockHistory = 128;  // far more than one ring's worth of fills

class LivePlayer {
public:
    LivePlayer(player::Player& player, OutputPort& port);

    // Opens the first song and sets it playing; false with `error` when the
    // song cannot be opened.
    bool begin(std::vector<LoadedSong> songs, const PlaySettings& settings, std::string& error);

    // Render side.
    static void renderCallback(void* context, StereoFrame* frames, uint32_t count);
    void render(StereoFrame* frames, uint32_t count);

    // Control side. nowMs: a steady clock in milliseconds.
    void apply(const Command& command, uint64_t nowMs);
    void poll(uint64_t nowMs);
    ViewState view(uint64_t nowMs);
    // A one-line status for scripts and logs.
    std::string statusLine(uint64_t nowMs);

    bool quitRequested() const { return quit_; }
    bool playlistEnded() const { return ended_; }
    uint64_t heardPositionMs();
    const Playlist& playlist() const { return playlist_; }
    uint32_t mutedMask() const;
    const std::string& message() const { return message_; }

private:
    // Under the output's lock: load song `index` and play it from `ms`.
    bool startSong(size_t index, int32_t ms, std::string& error);
    void seekTo(int32_t ms);
    // Under the lock: the output's queue given up beyond its lead, the render
    // brought back in the stream, the records of what will not be heard dropped.
    void discardQueued();
    void applyMutes();
    void reloadIfChanged();
    BlockRecord heardRecord(int64_t heard) const;
    void record(uint64_t songFrame, bool advancing, float peak);

    player::Player& player_;
    OutputPort& port_;
    std::vector<LoadedSong> songs_;
    Playlist playlist_;
    PlaySettings settings_;
    FileWatch watch_;

    // Render side, read by the control side under the lock.
    player::EndRule endRule_;
    bool paused_ = false;
    bool songFinished_ = false;
    uint64_t finishStreamFrame_ = 0;
    uint64_t streamFrame_ = 0;
    uint64_t songFrame_ = 0;
    uint64_t pauseStreamFrame_ = 0;  // where the pause took effect in the stream
    uint64_t seekStreamFrame_ = 0;  // where the last seek took effect in the stream
    int64_t seekTargetMs_ = 0;
    std::array<BlockRecord, kBlockHistory> history_{};
    size_t historyCount_ = 0;  // records written in all
    std::atomic<uint64_t> renderNanoseconds_{0};
    std::atomic<uint64_t> renderedFrames_{0};

    // Control side.
    uint32_t mutes_ = 0;
    uint32_t solos_ = 0;
    int volumePercent_ = 100;
    bool soloPending_ = false;
    bool quit_ = false;
    bool ended_ = false;
    std::string message_;
    uint64_t clipUntilMs_ = 0;
    uint64_t nextWatchMs_ = 0;
    uint64_t loadWindowStartMs_ = 0;
    uint64_t loadWindowNanoseconds_ = 0;
    uint64_t loadWindowFrames_ = 0;
    double loadPercent_ = 0.0;
};

}  // namespace zimblo::play
