// zimblo: plays the embedded song on the sound device until Escape.
//
// Start-up, the Escape poll and shut-down, in a fixed order: title; the Player
// built in place and opened on the song at 44100 Hz; the output started with
// the Player's render callback; play from 0 ms; prompt; poll Escape every
// 10 ms, the first poll straight after the prompt; give the terminal back;
// stop the output (within about 1.2 s, whatever the device does), close the
// Player, exit 0. No result decides anything: without a song or a device the
// prompt still comes and Escape still ends the program with 0. A device lost
// while playing is reported and reopened by the output itself.
//
// Environment: ZIMBLO_AUDIO picks the device (see output/device_selection.h);
// ZIMBLO_SEED (decimal or 0x hex, 32 bits) pins the free-running counter that
// seeds the sample-and-hold LFOs, so that a run repeats an offline render with
// the same seed; ZIMBLO_STATS, when set and not empty, has the program print
// the feeder's fill timings to stderr as it exits. Standard output carries
// only the two texts.

#include <time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "app/console.h"
#include "app/terminal.h"
#include "data/embedded_song.h"
#include "dsp/free_running_counter.h"
#include "output/audio_output.h"
#include "output/printable_text.h"
#include "player/player.h"

namespace {

using zimblo::output::AudioOutput;
using zimblo::player::Player;

constexpr uint32_t kSampleRate = 44100;
constexpr uint32_t kMillisecondsPerSecond = 1000;
constexpr long kPollIntervalNanoseconds = 10 * 1000 * 1000;
constexpr int kExitCode = 0;

// Both live for the whole process. The Player (megabytes) is built in place
// at start-up, in zero-initialised storage rather than in the program image.
alignas(Player) unsigned char gPlayerStorage[sizeof(Player)];
AudioOutput gOutput;

// Decimal, or hexadecimal after 0x, as the offline renderer's --seed reads it.
bool parseSeed(const char* text, uint32_t& seed) {
    if (text == nullptr) return false;
    uint64_t base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (*text == '\0') return false;
    uint64_t value = 0;
    for (; *text != '\0'; ++text) {
        const char c = *text;
        uint64_t digit;
        if (c >= '0' && c <= '9') digit = static_cast<uint64_t>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<uint64_t>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<uint64_t>(c - 'A' + 10);
        else return false;
        value = value * base + digit;
        if (value > UINT32_MAX) return false;
    }
    seed = static_cast<uint32_t>(value);
    return true;
}

void pinSeedFromEnvironment() {
    const char* text = std::getenv("ZIMBLO_SEED");
    if (text == nullptr) return;
    uint32_t seed = 0;
    if (parseSeed(text, seed)) zimblo::dsp::pinFreeRunningCounter(seed);
    else
        std::fprintf(stderr, "zimblo: ZIMBLO_SEED=\"%s\" ignored: not a 32-bit unsigned number\n",
                     zimblo::output::printableText(text).c_str());
}

void sleepOnePollInterval() {
    timespec interval{0, kPollIntervalNanoseconds};
    nanosleep(&interval, nullptr);  // a signal cuts it short; the next poll sees why
}

void reportStatistics() {
    const char* wanted = std::getenv("ZIMBLO_STATS");
    if (wanted == nullptr || *wanted == '\0') return;
    constexpr double kNanosecondsPerMillisecond = 1e6;
    std::fprintf(stderr, "zimblo: %" PRIu64 " fills, worst fill %.3f ms, worst render callback %.3f ms\n",
                 gOutput.fillCount.load(),
                 static_cast<double>(gOutput.worstFillNanoseconds.load()) / kNanosecondsPerMillisecond,
                 static_cast<double>(gOutput.worstCallbackNanoseconds.load()) / kNanosecondsPerMillisecond);
}

}  // namespace

int main() {
    zimblo::app::installSignalHandlers();
    zimblo::app::openKeyboard();
    pinSeedFromEnvironment();  // before the Synth's initialisation seeds the LFOs

    zimblo::app::writeConsole(zimblo::app::kTitleText);

    Player* player = new (gPlayerStorage) Player;
    player->isOpen = 0;
    player->timeUnitsPerSecond = kMillisecondsPerSecond;

    player->open(zimblo::data::kEmbeddedSong, kSampleRate);

    // No window system: the owner window stays an opaque, empty handle.
    void* ownerWindow = nullptr;

    if (gOutput.start(&Player::renderCallback, player, ownerWindow) == 0)
        std::fprintf(stderr, "zimblo: no sound device could be opened: %s\n", gOutput.failureReason());

    player->play(0);

    zimblo::app::writeConsole(zimblo::app::kPromptText);

    while (!zimblo::app::shutdownRequested() && !zimblo::app::escapeDown()) sleepOnePollInterval();

    // The terminal first: stopping may wait (boundedly) on the sound device.
    zimblo::app::restoreTerminal();
    gOutput.stop();
    player->close();

    reportStatistics();
    // Straight out: no static destructor runs beside a feeder that stop had to
    // leave behind.
    std::_Exit(kExitCode);
}
