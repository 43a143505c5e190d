// zimblo-play: plays songs in real time with a live terminal view.
//
// Loads every file first (a bad one ends the program before any sound, exit
// 2, or 1 when it cannot be read), opens the first song and sets it playing,
// then starts the output, so that the output stream is the song from its
// first frame and a capture equals zimblo-render of the same song, seed and
// start. The program's thread then polls the keys, the live player and the
// screen about 20 times a second until q, Escape, a shut-down signal or the
// end of the playlist; every way out leaves the screen and restores the
// terminal, and ends with 0.

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "app/terminal.h"
#include "dsp/free_running_counter.h"
#include "full_screen.h"
#include "key_commands.h"
#include "options.h"
#include "output/audio_output.h"
#include "player/player.h"
#include "live_player.h"
#include "song_loader.h"
#include "view.h"

namespace {

using zimblo::output::AudioOutput;
using zimblo::player::Player;
namespace play = zimblo::play;

constexpr long kFrameIntervalNanoseconds = 50 * 1000 * 1000;  // 20 frames a second
constexpr uint64_t kPlainLineIntervalMs = 1000;
constexpr int kExitUsage = 2;
constexpr int kExitIoFailure = 1;
constexpr size_t kKeyBytes = 256;

alignas(Player) unsigned char gPlayerStorage[sizeof(Player)];
AudioOutput gOutput;

// The output as the live player sees it; its byte position, kept in 64 bits.
class OutputAdapter final : public play::OutputPort {
public:
    explicit OutputAdapter(AudioOutput& output) : output_(output) {}
    void lock() override { output_.lock(); }
    void unlock() override { output_.unlock(); }
    int64_t heardFrames() override {
        const int32_t now = output_.playPosition();
        bytes_ += static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(last_));
        last_ = now;
        return bytes_ / static_cast<int64_t>(zimblo::output::kFrameBytes);
    }
    void setVolume(float volume) override { output_.setVolume(volume); }
    void wake() override { output_.wake(); }
    uint64_t discardQueued() override { return output_.discardQueued(); }

private:
    AudioOutput& output_;
    int32_t last_ = zimblo::output::kInitialByteCount;
    int64_t bytes_ = zimblo::output::kInitialByteCount;
};

uint64_t nowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

void sleepOneFrame() {
    timespec interval{0, kFrameIntervalNanoseconds};
    nanosleep(&interval, nullptr);
}

// Until the next frame, or at once when a key arrives, so that a key is acted on
// as it comes. After a wake that brought no key (an input at its end that keeps
// reporting readable) a whole frame is slept.
void waitOneFrame(bool lastWakeBroughtNothing) {
    if (lastWakeBroughtNothing) return sleepOneFrame();
    zimblo::app::waitForKeyBytes(static_cast<int>(kFrameIntervalNanoseconds / 1000000));
}

int fail(int code, const std::string& message) {
    std::fprintf(stderr, "zimblo-play: %s\n", message.c_str());
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    play::Options options;
    if (std::optional<std::string> error = play::parseOptions(argc, argv, options))
        return fail(kExitUsage, *error + " (see --help)");
    if (options.help) {
        std::fputs(play::kUsage, stdout);
        return 0;
    }
    std::optional<uint32_t> seed = options.seed;
    if (!seed) {
        if (const char* text = std::getenv("ZIMBLO_SEED")) {
            seed = play::parseSeed(text);
            if (!seed) return fail(kExitUsage, std::string("ZIMBLO_SEED=\"") + text + "\" is not a 32-bit unsigned number");
        }
    }
    // Before any Synth is initialised: its LFOs take their seed then.
    if (seed) zimblo::dsp::pinFreeRunningCounter(*seed);

    std::vector<play::LoadedSong> songs;
    if (options.files.empty()) songs.push_back(play::embeddedSong());
    for (const std::string& path : options.files) {
        play::LoadedSong song;
        play::LoadFailure failure;
        if (!play::loadSong(path, song, failure)) {
            std::fprintf(stderr, "%s\n", failure.message.c_str());
            return failure.exitCode;
        }
        for (const std::string& warning : song.warnings) std::fprintf(stderr, "%s\n", warning.c_str());
        songs.push_back(std::move(song));
    }

    zimblo::app::installSignalHandlers();
    zimblo::app::openKeyboard();
    const bool fullScreen = !options.noUi && isatty(STDOUT_FILENO) != 0;
    const bool statusInPlace = !fullScreen && isatty(STDOUT_FILENO) != 0;

    Player* player = new (gPlayerStorage) Player;
    OutputAdapter port(gOutput);
    play::LivePlayer live(*player, port);
    play::PlaySettings settings;
    settings.loop = options.loop;
    settings.watch = options.watch;
    settings.mutes = options.mutes;
    settings.solos = options.solos;
    settings.startMs = options.startMs;
    std::string error;
    if (!live.begin(std::move(songs), settings, error)) {
        zimblo::app::restoreTerminal();
        return fail(kExitUsage, error);
    }
    if (gOutput.start(&play::LivePlayer::renderCallback, &live, nullptr) == 0) {
        zimblo::app::restoreTerminal();
        return fail(kExitIoFailure, std::string("no sound device could be opened: ") + gOutput.failureReason());
    }

    play::FullScreen screen(STDOUT_FILENO);
    if (fullScreen) {
        play::installScreenSignalHandlers(STDOUT_FILENO);
        screen.enter();
    }

    play::KeyDecoder keys;
    uint64_t nextPlainLine = 0;
    std::string lastMessage;
    unsigned char bytes[kKeyBytes];
    bool woken = false;  // the last wait ended before its frame was over
    for (;;) {
        const uint64_t now = nowMs();
        const size_t count = zimblo::app::readKeyBytes(bytes, sizeof bytes);
        const bool wokeForNothing = count == 0 && woken;
        for (const play::Command& command : keys.decode(bytes, count)) live.apply(command, now);
        if (live.quitRequested() || zimblo::app::shutdownRequested()) break;
        live.poll(now);
        if (live.playlistEnded()) break;

        if (fullScreen) {
            int columns = 0;
            int rows = 0;
            screen.size(columns, rows);
            screen.draw(play::drawView(live.view(now), columns, rows));
        } else if (statusInPlace) {
            std::printf("\r%s\x1b[K", live.statusLine(now).c_str());
            std::fflush(stdout);
        } else if (now >= nextPlainLine || live.message() != lastMessage) {
            nextPlainLine = now + kPlainLineIntervalMs;
            lastMessage = live.message();
            std::printf("%s\n", live.statusLine(now).c_str());
            std::fflush(stdout);
        }
        const uint64_t waitStart = nowMs();
        waitOneFrame(wokeForNothing);
        woken = nowMs() - waitStart + 1 < static_cast<uint64_t>(kFrameIntervalNanoseconds / 1000000);
    }

    screen.leave();
    gOutput.stop();
    player->close();
    zimblo::app::restoreTerminal();
    if (statusInPlace) std::printf("\n");
    std::fflush(stdout);
    // Straight out, as zimblo does: no static destructor runs beside a feeder
    // that stop had to leave behind.
    std::_Exit(0);
}
