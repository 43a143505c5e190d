// Real-time factor of the embedded song on each render path, rendered through the Player in the
// renderer's block size, looping from the start when it ends. The argument is the path:
// 0 scalar (the reference), 1 SSE2, 2 AVX2, 3 AVX-512; a path the processor lacks is skipped.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "bench_util.h"
#include "data/embedded_song.h"
#include "dsp/free_running_counter.h"
#include "dsp/stereo_frame.h"
#include "player/player.h"

namespace zimblo::bench {
namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kBlockFrames = 4096;

void BM_EmbeddedSongRealTimeFactor(benchmark::State& state) {
    const ScopedSimdPath path(state, 0);
    if (!path.ok()) return;
    dsp::pinFreeRunningCounter(1);
    auto player = std::make_unique<player::Player>();
    player->isOpen = 0;
    player->timeUnitsPerSecond = 1000;
    player->openChecked(data::kEmbeddedSong, data::kEmbeddedSongSize, kRate, nullptr);
    player->play(0);
    std::vector<StereoFrame> block(kBlockFrames);

    for (auto _ : state) {
        // One second of audio per iteration.
        for (uint32_t done = 0; done < kRate; done += kBlockFrames) {
            player->render(block.data(), std::min(kBlockFrames, kRate - done), 0);
            benchmark::DoNotOptimize(block.data());
        }
        if (player->state != player::PlayState::Playing) {
            state.PauseTiming();
            player->play(0);
            state.ResumeTiming();
        }
    }
    state.counters["realtime_factor"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    dsp::unpinFreeRunningCounter();
}
BENCHMARK(BM_EmbeddedSongRealTimeFactor)->ArgName("path")->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace
}  // namespace zimblo::bench
