// Synth::processEvents on arbitrary event-stream bytes after a valid init.
//
// The input is cut into streams at each pair of end bytes (0xFD 0xFD); every
// stream is handed to the engine followed by three end bytes, and one control
// frame is rendered after it. The stream carries no length: a handler takes
// its data bytes as they stand (a status byte directly after a status is data,
// and so is an end byte), so a command cut short by the end of the stream can
// run two bytes past it. Three end bytes are the least padding after which
// every stream ends inside the buffer; the sequencer never writes such a
// stream. Within that contract no byte sequence may crash, loop or read
// outside the buffer, the patch bank or the text table.
//
// After every stream the voice allocation must hold its invariants: no
// channel holds more voices than its patch's voice limit (a note at the limit
// steals one of the channel's own voices), and every voice belongs to a
// channel 0..15 or is free.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "dsp/free_running_counter.h"
#include "fuzz_songs.h"
#include "player/song_format.h"
#include "synth/synth.h"

using namespace zimblo;

namespace {

constexpr uint8_t kEnd = 0xFD;
// A reset status (0xFF) sets the whole engine up again, the costliest thing a
// byte can ask for: an input is cut after its kMaxResets-th 0xFF byte, so that
// one input costs at most a few set-ups however it is made.
constexpr uint8_t kResetByte = 0xFF;
constexpr size_t kMaxResets = 2;
constexpr size_t kEndPadding = 3;
constexpr size_t kMaxInputBytes = 8192;
// Each stream costs an event pass and a control frame on top of the engine's
// set-up; 8 keep an input near a millisecond under the sanitizers.
constexpr int kMaxStreams = 8;

struct Fixture {
    std::vector<uint8_t> bank = fuzz::examplePatchBank();
    std::vector<uint8_t> effects = fuzz::exampleEffectBlock();
    std::array<const char*, player::kTextTableSize> texts{};
    synth::Synth* engine = new synth::Synth();
    std::vector<StereoFrame> output = std::vector<StereoFrame>(synth::kMaxFrames);

    Fixture() {
        const std::vector<const char*> lyrics = fuzz::exampleLyrics();
        for (size_t i = 0; i < lyrics.size(); ++i) texts[i] = lyrics[i];
        texts[63] = lyrics[0];  // the last line the singer takes; 5..62 stay null
        dsp::pinFreeRunningCounter(0x5eed);
    }
};

void checkAllocation(const synth::Synth& engine) {
    uint32_t counts[17];
    engine.voiceCounts(counts);
    uint32_t programs[16];
    engine.channelPrograms(programs);
    for (int c = 0; c < synth::kChannelCount; ++c) {
        const uint32_t limit = synth::findPatch(engine.bank, programs[c]).voiceLimit();
        if (programs[c] > 127 || counts[c] > limit) {
            std::fprintf(stderr, "channel %d holds %u voices, program %u allows %u\n", c, counts[c], programs[c], limit);
            std::abort();
        }
    }
    for (int32_t owner : engine.voiceChannel) {
        if (owner < synth::kFreeVoice || owner >= synth::kChannelCount) {
            std::fprintf(stderr, "a voice belongs to channel %d\n", owner);
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture f;
    if (size > kMaxInputBytes) size = kMaxInputBytes;
    for (size_t i = 0, resets = 0; i < size; ++i)
        if (data[i] == kResetByte && ++resets == kMaxResets) size = i + 1;

    synth::Synth& engine = *f.engine;
    engine.init(synth::PatchBank{f.bank.data(), static_cast<uint32_t>(f.bank.size())}, 44100);
    engine.setGlobalParams(f.effects.data());
    engine.singerState().setTexts(f.texts.data());

    size_t start = 0;
    for (int streams = 0; start <= size && streams < kMaxStreams; ++streams) {
        size_t end = start;
        while (end < size && !(data[end] == kEnd && end + 1 < size && data[end + 1] == kEnd)) ++end;
        // A buffer of exactly the stream and its padding, so that any read
        // past the padding is outside the allocation.
        const size_t bytes = end - start;
        const std::unique_ptr<uint8_t[]> stream(new uint8_t[bytes + kEndPadding]);
        std::copy(data + start, data + end, stream.get());
        std::fill_n(stream.get() + bytes, kEndPadding, kEnd);
        engine.processEvents(stream.get());
        checkAllocation(engine);
        engine.render(&f.output[0].left, static_cast<uint32_t>(engine.frameLength()), nullptr, 0);
        start = end + 2;
    }
    return 0;
}
