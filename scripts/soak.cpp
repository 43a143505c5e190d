// The soak driver behind scripts/soak.sh: renders a song offline for a long
// time, in cycles (play from the start, render the song and its tail, play
// again), and checks that
//   - no sample is NaN or infinite,
//   - the time per rendered minute stays flat: each minute costs at most
//     --max-slowdown times the same minute of the first cycle (denormal
//     numbers in decaying tails would show as a slow-down there),
//   - memory does not grow: the resident size at the end exceeds the one after
//     the first minute by at most --max-growth-kb.
// Prints one line per minute and a summary; exit status 0 when every check
// holds, 1 when one fails, 2 on bad usage or a song that does not open.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "dsp/free_running_counter.h"
#include "player/player.h"

namespace {

using zimblo::StereoFrame;
using zimblo::player::Player;

struct Options {
    std::string songPath;
    uint32_t minutes = 60;
    uint32_t cycleMinutes = 10;
    uint32_t seed = 0x5eed;
    uint32_t rate = 44100;
    uint32_t blockFrames = 4096;
    double maxSlowdown = 1.5;
    long maxGrowthKb = 1024;
};

struct MinuteReport {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long residentKb = 0;
    float peak = 0;
    bool playing = false;  // the song was still playing at the minute's end
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr,
                 "soak: %s\nusage: soak --song FILE [--minutes N] [--cycle-minutes N] [--seed S] [--rate R]\n"
                 "            [--block B] [--max-slowdown F] [--max-growth-kb K]\n",
                 why);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) usage(("missing value for " + arg).c_str());
        const char* v = argv[++i];
        const unsigned long n = std::strtoul(v, nullptr, 0);
        if (arg == "--song") o.songPath = v;
        else if (arg == "--minutes") o.minutes = static_cast<uint32_t>(n);
        else if (arg == "--cycle-minutes") o.cycleMinutes = static_cast<uint32_t>(n);
        else if (arg == "--seed") o.seed = static_cast<uint32_t>(n);
        else if (arg == "--rate") o.rate = static_cast<uint32_t>(n);
        else if (arg == "--block") o.blockFrames = static_cast<uint32_t>(n);
        else if (arg == "--max-slowdown") o.maxSlowdown = std::strtod(v, nullptr);
        else if (arg == "--max-growth-kb") o.maxGrowthKb = static_cast<long>(n);
        else usage(("unknown option " + arg).c_str());
    }
    if (o.songPath.empty()) usage("no song given");
    if (o.minutes == 0 || o.cycleMinutes == 0 || o.rate == 0 || o.blockFrames == 0) usage("a count is 0");
    return o;
}

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

long residentKb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long peakResidentKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    std::ifstream in(o.songPath, std::ios::binary);
    if (!in) usage(("cannot read " + o.songPath).c_str());
    const std::vector<uint8_t> song((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    // The seed is pinned before the engine's initialisation resets the LFOs.
    zimblo::dsp::pinFreeRunningCounter(o.seed);
    auto player = std::make_unique<Player>();
    std::string error;
    if (!player->openChecked(song.data(), song.size(), o.rate, &error)) usage((o.songPath + ": " + error).c_str());
    std::vector<StereoFrame> block(o.blockFrames);

    std::printf("soak: %s, %zu bytes, %u Hz, seed 0x%x, %u minutes in cycles of %u, blocks of %u frames\n",
                o.songPath.c_str(), song.size(), o.rate, o.seed, o.minutes, o.cycleMinutes, o.blockFrames);
    std::printf("minute  cycle  wall s  cpu s   x real time  resident KiB  peak |sample|  state\n");

    const uint64_t framesPerMinute = uint64_t{o.rate} * 60;
    std::vector<MinuteReport> minutes;
    uint64_t badSamples = 0;
    uint64_t firstBadFrame = 0;
    uint64_t frame = 0;
    for (uint32_t m = 0; m < o.minutes; ++m) {
        if (m % o.cycleMinutes == 0) player->play(0);
        MinuteReport r;
        const auto wallStart = std::chrono::steady_clock::now();
        const double cpuStart = cpuSeconds();
        for (uint64_t done = 0; done < framesPerMinute;) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(o.blockFrames, framesPerMinute - done));
            player->render(block.data(), n, 0);
            for (uint32_t i = 0; i < n; ++i) {
                for (const float x : {block[i].left, block[i].right}) {
                    if (!std::isfinite(x)) {
                        if (badSamples++ == 0) firstBadFrame = frame + i;
                    } else {
                        r.peak = std::max(r.peak, std::fabs(x));
                    }
                }
            }
            done += n;
            frame += n;
        }
        r.cpuSeconds = cpuSeconds() - cpuStart;
        r.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        r.residentKb = residentKb();
        r.playing = player->state == zimblo::player::PlayState::Playing;
        minutes.push_back(r);
        std::printf("%6u  %5u  %6.2f  %6.2f  %11.1f  %12ld  %13.6f  %s\n", m + 1, m / o.cycleMinutes + 1,
                    r.wallSeconds, r.cpuSeconds, 60.0 / r.wallSeconds, r.residentKb, static_cast<double>(r.peak),
                    r.playing ? "playing" : "ended (tails)");
        std::fflush(stdout);
    }
    player->close();

    bool ok = true;
    if (badSamples != 0) {
        std::printf("FAIL: %llu samples are NaN or infinite, the first at frame %llu\n",
                    static_cast<unsigned long long>(badSamples), static_cast<unsigned long long>(firstBadFrame));
        ok = false;
    }
    double worstRatio = 0;
    uint32_t worstMinute = 0;
    for (uint32_t m = o.cycleMinutes; m < minutes.size(); ++m) {
        const double ratio = minutes[m].cpuSeconds / minutes[m % o.cycleMinutes].cpuSeconds;
        if (ratio > worstRatio) {
            worstRatio = ratio;
            worstMinute = m;
        }
    }
    const auto [fastest, slowest] = std::minmax_element(minutes.begin(), minutes.end(), [](const auto& a, const auto& b) {
        return a.cpuSeconds < b.cpuSeconds;
    });
    double total = 0;
    for (const MinuteReport& r : minutes) total += r.cpuSeconds;
    std::printf("cpu per minute: first %.2f s, last %.2f s, fastest %.2f s, slowest %.2f s, total %.1f s\n",
                minutes.front().cpuSeconds, minutes.back().cpuSeconds, fastest->cpuSeconds, slowest->cpuSeconds, total);
    if (minutes.size() > o.cycleMinutes) {
        std::printf("worst minute against the same minute of cycle 1: minute %u, %.3f times\n", worstMinute + 1,
                    worstRatio);
        if (worstRatio > o.maxSlowdown) {
            std::printf("FAIL: the time per minute grew by more than %.2f times\n", o.maxSlowdown);
            ok = false;
        }
    }
    const long growth = minutes.back().residentKb - minutes.front().residentKb;
    long peak = peakResidentKb();
    for (const MinuteReport& r : minutes) peak = std::max(peak, r.residentKb);
    std::printf("resident: after minute 1 %ld KiB, at the end %ld KiB (growth %ld KiB); peak %ld KiB\n",
                minutes.front().residentKb, minutes.back().residentKb, growth, peak);
    if (growth > o.maxGrowthKb) {
        std::printf("FAIL: memory grew by more than %ld KiB\n", o.maxGrowthKb);
        ok = false;
    }
    std::printf("%s\n", ok ? "soak: passed" : "soak: FAILED");
    return ok ? 0 : 1;
}
