#include "live_player.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "speech/phoneme_table.h"
#include "synth/synth.h"

namespace zimblo::play {

namespace {

using player::PlayState;

constexpr uint32_t kChannelMask = 0xFFFF;
constexpr double kMicrosecondsPerMinute = 60e6;
constexpr uint32_t kHundredthsOfRate = kPlayRate / 100;

uint64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

uint64_t framesToMs(uint64_t frames) { return frames * 1000 / kPlayRate; }

// Bar and beat (from 0) at the player's render position: the sequencer counts
// them at its steps; between two steps the ticks are those of the frames
// already rendered towards the next one. A beat is a quarter note.
void musicalPosition(const player::Player& p, uint32_t& bar, uint32_t& beat) {
    bar = p.barCount;
    beat = p.beatInBar;
    if (p.state != PlayState::Playing || p.nextEventTick == player::kNoTick || p.scaledSamplesPerQuarter == 0 ||
        p.ticksPerQuarter == 0)
        return;
    const uint64_t gap = p.nextEventTick - p.currentTick;
    const uint64_t ticksLeft =
        static_cast<uint64_t>(p.samplesToNextEvent) * p.scaledTicksPerQuarter / p.scaledSamplesPerQuarter;
    const uint64_t ticks = gap > ticksLeft ? gap - ticksLeft : 0;
    const uint64_t beatsPerBar = p.denominator != 0 && p.numerator * 4 / p.denominator != 0
                                     ? p.numerator * 4 / p.denominator
                                     : 1;
    const uint64_t beats = beat + (p.tickInBeat + ticks) / p.ticksPerQuarter;
    bar = static_cast<uint32_t>(bar + beats / beatsPerBar);
    beat = static_cast<uint32_t>(beats % beatsPerBar);
}

class PortLock {
public:
    explicit PortLock(OutputPort& port) : port_(port) { port_.lock(); }
    ~PortLock() { port_.unlock(); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

private:
    OutputPort& port_;
};

}  // namespace

LivePlayer::LivePlayer(player::Player& player, OutputPort& port) : player_(player), port_(port) {
    endRule_.setup(kPlayRate);
}

bool LivePlayer::begin(std::vector<LoadedSong> songs, const PlaySettings& settings, std::string& error) {
    songs_ = std::move(songs);
    settings_ = settings;
    playlist_ = Playlist{static_cast<int>(songs_.size()), 0, settings.loop};
    mutes_ = settings.mutes & kChannelMask;
    solos_ = settings.solos & kChannelMask;
    PortLock guard(port_);
    applyMutes();
    return startSong(0, settings.startMs, error);
}

bool LivePlayer::startSong(size_t index, int32_t ms, std::string& error) {
    const LoadedSong& song = songs_[index];
    if (!player_.openChecked(song.bytes.data(), song.bytes.size(), kPlayRate, &error)) {
        error = (song.path.empty() ? song.fileName : song.path) + ": " + error;
        return false;
    }
    seekTo(ms);
    if (settings_.watch) watch_.watch(song.sources);
    return true;
}

void LivePlayer::discardQueued() {
    const uint64_t frames = std::min<uint64_t>(port_.discardQueued(), streamFrame_);
    if (frames == 0) return;
    streamFrame_ -= frames;
    while (historyCount_ > 0 && history_[(historyCount_ - 1) % kBlockHistory].streamFrame >= streamFrame_)
        --historyCount_;
}

void LivePlayer::seekTo(int32_t ms) {
    discardQueued();
    player_.play(ms);
    seekStreamFrame_ = streamFrame_;
    seekTargetMs_ = ms;
    endRule_.reset();
    songFinished_ = false;
    songFrame_ = static_cast<uint64_t>(ms) * kPlayRate / 1000;
}

void LivePlayer::applyMutes() {
    const uint32_t mask = mutes_ | (solos_ != 0 ? ~solos_ & kChannelMask : 0);
    player_.synth.setMutedChannels(mask);
}

uint32_t LivePlayer::mutedMask() const { return player_.synth.mutedChannels; }

// ---- render side ------------------------------------------------------------

void LivePlayer::renderCallback(void* context, StereoFrame* frames, uint32_t count) {
    static_cast<LivePlayer*>(context)->render(frames, count);
}

void LivePlayer::render(StereoFrame* frames, uint32_t count) {
    const uint64_t start = monotonicNanoseconds();
    const uint64_t songFrameBefore = songFrame_;
    bool advancing = false;
    if (paused_ || songFinished_) {
        std::fill(frames, frames + count, StereoFrame{});
    } else {
        const uint32_t kept = player::renderUntilEnd(player_, endRule_, frames, count);
        songFrame_ += kept;
        advancing = kept > 0;
        if (endRule_.finished) {
            songFinished_ = true;
            finishStreamFrame_ = streamFrame_ + kept;
        }
    }
    float peak = 0.0f;
    for (uint32_t i = 0; i < count; ++i) peak = std::max({peak, std::fabs(frames[i].left), std::fabs(frames[i].right)});
    record(songFrameBefore, advancing, peak);
    streamFrame_ += count;
    renderNanoseconds_.fetch_add(monotonicNanoseconds() - start, std::memory_order_relaxed);
    renderedFrames_.fetch_add(count, std::memory_order_relaxed);
}

void LivePlayer::record(uint64_t songFrame, bool advancing, float peak) {
    BlockRecord& r = history_[historyCount_ % kBlockHistory];
    const synth::Synth& synth = player_.synth;
    r.streamFrame = streamFrame_;
    r.songFrame = songFrame;
    r.advancing = advancing;
    r.state = player_.state;
    r.paused = paused_;
    musicalPosition(player_, r.bar, r.beat);
    r.scaledSamplesPerQuarter = player_.scaledSamplesPerQuarter;
    r.blockPeak = peak;
    synth.masterLevel(r.master.left, r.master.right);
    for (int c = 0; c < synth::kChannelCount; ++c) synth.channelLevel(c, r.channels[c].left, r.channels[c].right);
    synth.voiceCounts(r.voices.data());
    synth.channelPrograms(r.programs.data());
    const speech::LyricSequencer& lyric = synth.singer.sequencer;
    r.lyricIndex = -1;
    for (int t = 0; t < speech::kTextCount && lyric.lineStart != nullptr; ++t) {
        if (player_.texts[static_cast<size_t>(t)] == lyric.lineStart) {
            r.lyricIndex = t;
            break;
        }
    }
    r.lyricOffset = lyric.position != nullptr && lyric.position >= lyric.lineStart
                        ? static_cast<uint32_t>(lyric.position - lyric.lineStart)
                        : 0;
    r.phonemeRow = lyric.row;
    if (songFinished_) {
        // Past the end nothing is rendered any more: what the engine holds is not heard.
        r.master = StereoFrame{};
        r.channels.fill(StereoFrame{});
        r.voices.fill(0);
        r.lyricIndex = -1;
    }
    ++historyCount_;
}

// ---- control side -----------------------------------------------------------

BlockRecord LivePlayer::heardRecord(int64_t heard) const {
    if (historyCount_ == 0) {
        // Nothing rendered yet: where the song will start.
        BlockRecord r;
        r.songFrame = songFrame_;
        r.state = player_.state;
        r.paused = paused_;
        return r;
    }
    const size_t oldest = historyCount_ > kBlockHistory ? historyCount_ - kBlockHistory : 0;
    size_t chosen = oldest;
    for (size_t i = historyCount_; i-- > oldest;) {
        if (static_cast<int64_t>(history_[i % kBlockHistory].streamFrame) <= heard) {
            chosen = i;
            break;
        }
    }
    BlockRecord r = history_[chosen % kBlockHistory];
    if (r.advancing && heard > static_cast<int64_t>(r.streamFrame)) {
        // Within the block; the next record, if any, says where the song was then.
        const uint64_t into = static_cast<uint64_t>(heard) - r.streamFrame;
        uint64_t limit = into;
        if (chosen + 1 < historyCount_) {
            const BlockRecord& next = history_[(chosen + 1) % kBlockHistory];
            if (next.songFrame >= r.songFrame) limit = std::min(into, next.songFrame - r.songFrame);
        }
        r.songFrame += limit;
    }
    return r;
}

uint64_t LivePlayer::heardPositionMs() {
    PortLock guard(port_);
    return framesToMs(heardRecord(port_.heardFrames()).songFrame);
}

void LivePlayer::apply(const Command& command, uint64_t nowMs) {
    (void)nowMs;
    soloPending_ = command.kind == CommandKind::SoloPending;
    switch (command.kind) {
        case CommandKind::TogglePause: {
            PortLock guard(port_);
            paused_ = !paused_;
            if (paused_) pauseStreamFrame_ = streamFrame_;
            else if (port_.heardFrames() >= static_cast<int64_t>(pauseStreamFrame_)) discardQueued();
            break;
        }
        case CommandKind::Seek: {
            // From where the last seek went while it is not heard yet, so that
            // keys pressed in a row add up.
            int64_t heardSeconds = static_cast<int64_t>(heardPositionMs() / 1000);
            {
                PortLock guard(port_);
                if (port_.heardFrames() <= static_cast<int64_t>(seekStreamFrame_)) heardSeconds = seekTargetMs_ / 1000;
            }
            const int64_t target = std::max<int64_t>(0, heardSeconds + command.amount);
            {
                PortLock guard(port_);
                seekTo(static_cast<int32_t>(std::min<int64_t>(target * 1000, INT32_MAX)));
            }
            port_.wake();
            break;
        }
        case CommandKind::Restart: {
            {
                PortLock guard(port_);
                seekTo(0);
            }
            port_.wake();
            break;
        }
        case CommandKind::NextFile:
        case CommandKind::PreviousFile: {
            if (command.kind == CommandKind::NextFile) playlist_.next();
            else playlist_.previous();
            std::string error;
            {
                PortLock guard(port_);
                if (!startSong(static_cast<size_t>(playlist_.current), 0, error)) message_ = error;
            }
            port_.wake();
            break;
        }
        case CommandKind::ToggleMute:
        case CommandKind::ToggleSolo: {
            uint32_t& set = command.kind == CommandKind::ToggleMute ? mutes_ : solos_;
            set ^= 1u << command.amount;
            PortLock guard(port_);
            applyMutes();
            break;
        }
        case CommandKind::SoloPending: break;
        case CommandKind::Volume:
            volumePercent_ = std::clamp(volumePercent_ + command.amount * kVolumeStepPercent, 0, 100);
            port_.setVolume(static_cast<float>(volumePercent_) / 100.0f);
            break;
        case CommandKind::ToggleLoop:
            playlist_.loop = !playlist_.loop;
            break;
        case CommandKind::Quit:
            quit_ = true;
            break;
    }
}

void LivePlayer::reloadIfChanged() {
    if (!watch_.changed()) return;
    const size_t index = static_cast<size_t>(playlist_.current);
    LoadedSong fresh;
    LoadFailure failure;
    if (!loadSong(songs_[index].path, fresh, failure)) {
        message_ = failure.message;
        return;
    }
    const int32_t ms = static_cast<int32_t>(std::min<uint64_t>(heardPositionMs(), INT32_MAX));
    LoadedSong old = std::move(songs_[index]);  // the Player reads it until the new one is open
    songs_[index] = std::move(fresh);
    std::string error;
    {
        PortLock guard(port_);
        if (!startSong(index, ms, error)) {
            songs_[index] = std::move(old);
            std::string ignored;
            startSong(index, ms, ignored);
            message_ = error;
        } else {
            message_.clear();
        }
    }
    port_.wake();
}

void LivePlayer::poll(uint64_t nowMs) {
    bool songOver = false;
    {
        PortLock guard(port_);
        const int64_t heard = port_.heardFrames();
        songOver = songFinished_ && heard >= static_cast<int64_t>(finishStreamFrame_);
        const BlockRecord r = heardRecord(heard);
        if (r.blockPeak * static_cast<float>(volumePercent_) / 100.0f >= kClipLevel) clipUntilMs_ = nowMs + kClipHoldMs;
    }
    if (songOver) {
        if (!playlist_.advanceAtEnd()) {
            ended_ = true;
            return;
        }
        std::string error;
        {
            PortLock guard(port_);
            if (!startSong(static_cast<size_t>(playlist_.current), 0, error)) message_ = error;
        }
        port_.wake();
    }

    if (settings_.watch && nowMs >= nextWatchMs_) {
        nextWatchMs_ = nowMs + kWatchIntervalMs;
        reloadIfChanged();
    }

    if (nowMs >= loadWindowStartMs_ + kLoadWindowMs) {
        const uint64_t nanoseconds = renderNanoseconds_.load(std::memory_order_relaxed);
        const uint64_t frames = renderedFrames_.load(std::memory_order_relaxed);
        const uint64_t frameDelta = frames - loadWindowFrames_;
        if (frameDelta > 0)
            loadPercent_ = static_cast<double>(nanoseconds - loadWindowNanoseconds_) /
                           (static_cast<double>(frameDelta) * 1e9 / kPlayRate) * 100.0;
        loadWindowNanoseconds_ = nanoseconds;
        loadWindowFrames_ = frames;
        loadWindowStartMs_ = nowMs;
    }
}

ViewState LivePlayer::view(uint64_t nowMs) {
    BlockRecord r;
    {
        PortLock guard(port_);
        r = heardRecord(port_.heardFrames());
    }
    const LoadedSong& song = songs_[static_cast<size_t>(playlist_.current)];
    ViewState v;
    v.fileName = song.fileName;
    v.title = song.title;
    v.fileIndex = playlist_.current;
    v.fileCount = playlist_.count;
    v.mode = r.paused || paused_ ? PlayMode::Paused : r.state == PlayState::Playing ? PlayMode::Playing : PlayMode::Ended;
    v.positionMs = framesToMs(r.songFrame);
    v.lengthMs = framesToMs(song.lengthFrames);
    v.bar = r.bar + 1;
    v.beat = r.beat + 1;
    v.lengthBar = song.lengthBar + 1;
    v.lengthBeat = song.lengthBeat + 1;
    v.tempoBpm = r.scaledSamplesPerQuarter != 0
                     ? kMicrosecondsPerMinute / (static_cast<double>(r.scaledSamplesPerQuarter) / kHundredthsOfRate)
                     : 120.0;
    v.masterLevel = std::max(r.master.left, r.master.right);
    v.clipMark = nowMs < clipUntilMs_;
    v.loadPercent = loadPercent_;
    v.volumePercent = volumePercent_;
    v.loop = playlist_.loop;
    v.soloPending = soloPending_;
    const uint32_t muted = mutedMask();
    for (int c = 0; c < player::kTrackCount; ++c) {
        if (player_.tracks[static_cast<size_t>(c)][player::kNoteLane].count == 0) continue;
        ChannelView channel;
        channel.channel = c;
        const uint32_t program = r.programs[static_cast<size_t>(c)];
        channel.program = program < song.patchNames.size() && !song.patchNames[program].empty()
                              ? song.patchNames[program]
                              : "program " + std::to_string(program);
        channel.voices = r.voices[static_cast<size_t>(c)];
        channel.level = std::max(r.channels[static_cast<size_t>(c)].left, r.channels[static_cast<size_t>(c)].right);
        channel.muted = (muted >> c & 1u) != 0;
        channel.soloed = (solos_ >> c & 1u) != 0;
        v.channels.push_back(channel);
    }
    if (r.lyricIndex >= 0 && r.voices[synth::kSingerChannel] > 0) {
        const char* line = player_.texts[static_cast<size_t>(r.lyricIndex)];
        if (line != nullptr) {
            v.singing = true;
            v.lyric = line;
            v.lyricPosition = std::min<size_t>(r.lyricOffset, v.lyric.size());
            const int row = std::clamp(r.phonemeRow, 0, speech::kPhonemeRowCount - 1);
            v.phoneme = speech::kPhonemeTable[static_cast<size_t>(row)].name.data();
            if (v.phoneme.size() > 3) v.phoneme.resize(3);
        }
    }
    v.message = message_;
    return v;
}

std::string LivePlayer::statusLine(uint64_t nowMs) {
    const ViewState v = view(nowMs);
    const char* mode = v.mode == PlayMode::Playing ? "playing" : v.mode == PlayMode::Paused ? "paused" : "ended";
    char text[512];
    std::snprintf(text, sizeof text, "%s %s %s / %s bar %u:%u / %u:%u master %s dBFS%s", v.fileName.c_str(), mode,
                  minutesSeconds(v.positionMs).c_str(), minutesSeconds(v.lengthMs).c_str(), v.bar, v.beat,
                  v.lengthBar, v.lengthBeat, decibelText(v.masterLevel).c_str(), v.clipMark ? " CLIP" : "");
    std::string line = text;
    if (!v.message.empty()) line += " | " + v.message;
    return line;
}

}  // namespace zimblo::play
