#include "fuzz_songs.h"

#include <fstream>
#include <stdexcept>

#include "player/song_format.h"

namespace zimblo::fuzz {

void writeSeed(const std::filesystem::path& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
    std::filesystem::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + (dir / name).string());
}


namespace {

using player::PatchDescription;
using synth::ModRoute;

// Voice parameter indices of the patch layout.
enum VoiceParam : int {
    kPan = 0, kVoiceTranspose = 1,
    kOsc1 = 2, kOsc2 = 8, kOsc3 = 14,  // waveform, flags, transpose, detune, colour, gain
    kFilter1 = 20, kFilter2 = 23,      // type, cutoff, resonance
    kRouting = 26, kBalance = 27,
    kShaper = 28,                      // mode, drive, amount, bias
    kEnv1 = 32, kEnv2 = 38,            // attack, decay, sustain, sustain rate, release, gain
    kLfo1 = 44, kLfo2 = 51,            // shape, key sync, one-shot, rate, phase, polarity, amount
    kNoteStart = 58,
};
// Channel parameter indices.
enum ChannelParam : int {
    kVolume = 0, kAux1Return = 1, kAux2Return = 2, kAux1Send = 3, kAux2Send = 4,
    kReverbSend = 5, kDelaySend = 6, kOrder = 7, kBass = 8,
    kChannelShaper = 9, kChorus = 13, kDynamics = 20,
};
// Destinations of routes: a voice parameter, or 59 + a channel parameter.
constexpr uint8_t channelDestination(int param) { return static_cast<uint8_t>(59 + param); }
constexpr uint8_t kSourceVelocity = 0, kSourceLane1 = 1, kSourceLane7 = 7, kSourceEnv2 = 9,
                  kSourceLfo1 = 10, kSourceLfo2 = 11, kSourceKeyboard = 12;

void oscillator(PatchDescription& p, int base, uint8_t waveform, uint8_t transpose, uint8_t colour,
                uint8_t gain, uint8_t flags = 0) {
    p.voice[base] = waveform;
    p.voice[base + 1] = flags;
    p.voice[base + 2] = transpose;
    p.voice[base + 3] = 64;  // no detune
    p.voice[base + 4] = colour;
    p.voice[base + 5] = gain;
}

void envelope(PatchDescription& p, int base, uint8_t attack, uint8_t decay, uint8_t sustain,
              uint8_t sustainRate, uint8_t release, uint8_t gain) {
    const uint8_t values[] = {attack, decay, sustain, sustainRate, release, gain};
    for (int i = 0; i < 6; ++i) p.voice[base + i] = values[i];
}

void lfo(PatchDescription& p, int base, uint8_t shape, uint8_t rate, uint8_t amount) {
    const uint8_t values[] = {shape, 1, 0, rate, 0, 64, amount};
    for (int i = 0; i < 7; ++i) p.voice[base + i] = values[i];
}

PatchDescription basePatch(uint8_t voiceLimit) {
    PatchDescription p;
    p.voiceLimit = voiceLimit;
    p.voice[kPan] = 64;
    p.voice[kVoiceTranspose] = 76;
    p.voice[kBalance] = 64;
    p.channel[kVolume] = 100;
    p.channel[kChorus] = 64;  // chorus mix 64: dry only
    p.channel[kDynamics] = 4;  // bypass
    p.routes.push_back(ModRoute{kSourceLane7, 127, channelDestination(kVolume)});
    return p;
}

}  // namespace

std::vector<PatchDescription> examplePatches() {
    std::vector<PatchDescription> patches;

    // 0: a detuned saw lead through a resonant low-pass with an envelope sweep.
    PatchDescription lead = basePatch(4);
    oscillator(lead, kOsc1, 1, 64, 64, 80);
    oscillator(lead, kOsc2, 1, 76, 40, 60);
    lead.voice[kFilter1] = 1;
    lead.voice[kFilter1 + 1] = 70;
    lead.voice[kFilter1 + 2] = 90;
    envelope(lead, kEnv1, 4, 60, 90, 20, 40, 100);
    envelope(lead, kEnv2, 2, 50, 30, 10, 30, 128);
    lfo(lead, kLfo1, 1, 60, 100);
    lead.voice[kNoteStart] = 1;
    lead.channel[kReverbSend] = 40;
    lead.channel[kDelaySend] = 30;
    lead.routes.push_back(ModRoute{kSourceEnv2, 100, kFilter1 + 1});
    lead.routes.push_back(ModRoute{kSourceVelocity, 110, kEnv1 + 5});
    lead.routes.push_back(ModRoute{kSourceLfo1, 70, kOsc1 + 3});
    patches.push_back(lead);

    // 1: a monophonic pulse bass with a ladder filter, overdrive and a peak limiter.
    PatchDescription bass = basePatch(1);
    oscillator(bass, kOsc1, 2, 52, 32, 100);
    oscillator(bass, kOsc2, 3, 40, 0, 50, 1);
    bass.voice[kFilter1] = 6;
    bass.voice[kFilter1 + 1] = 50;
    bass.voice[kFilter1 + 2] = 100;
    bass.voice[kShaper] = 1;
    bass.voice[kShaper + 1] = 60;
    bass.voice[kShaper + 2] = 110;
    envelope(bass, kEnv1, 0, 40, 70, 0, 20, 120);
    bass.voice[kNoteStart] = 2;
    bass.channel[kBass] = 40;
    bass.channel[kDynamics] = 0;
    bass.channel[kDynamics + 3] = 2;
    bass.channel[kDynamics + 4] = 80;
    bass.channel[kDynamics + 5] = 90;
    bass.channel[kDynamics + 6] = 4;
    bass.channel[kDynamics + 7] = 40;
    bass.channel[kDynamics + 8] = 64;
    bass.routes.push_back(ModRoute{kSourceKeyboard, 80, kFilter1 + 1});
    patches.push_back(bass);

    // 2: a pad: sine and phase-modulated sine, serial band and high filters,
    // sample-and-hold LFO, chorus, the channel shaper as a crusher and RMS
    // dynamics, chain order 1; lane 1 sweeps the filter.
    PatchDescription pad = basePatch(8);
    oscillator(pad, kOsc1, 3, 64, 0, 70);
    oscillator(pad, kOsc2, 5, 64, 90, 60);
    oscillator(pad, kOsc3, 4, 88, 100, 20);
    pad.voice[kFilter1] = 2;
    pad.voice[kFilter1 + 1] = 80;
    pad.voice[kFilter1 + 2] = 40;
    pad.voice[kFilter2] = 3;
    pad.voice[kFilter2 + 1] = 20;
    pad.voice[kFilter2 + 2] = 20;
    pad.voice[kRouting] = 1;
    envelope(pad, kEnv1, 50, 70, 100, 5, 70, 110);
    lfo(pad, kLfo1, 4, 70, 90);
    lfo(pad, kLfo2, 0, 30, 100);
    pad.channel[kReverbSend] = 90;
    pad.channel[kOrder] = 1;
    pad.channel[kChannelShaper] = 3;
    pad.channel[kChannelShaper + 1] = 100;
    pad.channel[kChannelShaper + 2] = 128;
    pad.channel[kChorus] = 90;
    pad.channel[kChorus + 1] = 70;
    pad.channel[kChorus + 2] = 20;
    pad.channel[kChorus + 3] = 24;
    pad.channel[kChorus + 4] = 10;
    pad.channel[kChorus + 5] = 40;
    pad.channel[kDynamics] = 3;
    pad.channel[kDynamics + 4] = 70;
    pad.channel[kAux1Send] = 50;
    pad.channel[kAux1Return] = 40;
    pad.routes.push_back(ModRoute{kSourceLane1, 120, kFilter1 + 1});
    pad.routes.push_back(ModRoute{kSourceLfo2, 90, kPan});
    pad.routes.push_back(ModRoute{kSourceLfo1, 30, channelDestination(kReverbSend)});
    patches.push_back(pad);

    // 3: noise drums: parallel notch and low-band-high filters, clip and
    // decimator shaping, fast envelopes, 64 voices, aux 2.
    PatchDescription drums = basePatch(64);
    oscillator(drums, kOsc1, 4, 64, 60, 100);
    oscillator(drums, kOsc2, 1, 30, 127, 90);
    drums.voice[kFilter1] = 4;
    drums.voice[kFilter1 + 1] = 90;
    drums.voice[kFilter1 + 2] = 60;
    drums.voice[kFilter2] = 5;
    drums.voice[kFilter2 + 1] = 40;
    drums.voice[kFilter2 + 2] = 120;
    drums.voice[kRouting] = 2;
    drums.voice[kBalance] = 90;
    drums.voice[kShaper] = 4;
    drums.voice[kShaper + 1] = 90;
    drums.voice[kShaper + 2] = 100;
    envelope(drums, kEnv1, 0, 30, 0, 0, 30, 128);
    envelope(drums, kEnv2, 0, 20, 0, 0, 20, 128);
    drums.channel[kAux2Send] = 60;
    drums.channel[kAux2Return] = 50;
    drums.channel[kChannelShaper] = 2;
    drums.channel[kChannelShaper + 1] = 80;
    drums.channel[kDynamics] = 2;
    drums.channel[kDynamics + 3] = 100;
    drums.routes.push_back(ModRoute{kSourceEnv2, 127, kOsc2 + 2});
    patches.push_back(drums);

    // 4: raw bytes above the 0..128 scale where no route clamps them, a
    // ladder high-pass, the remaining shaper filter modes and aux inputs.
    PatchDescription wild = basePatch(2);
    for (int i = 0; i < synth::kVoiceParamCount; ++i) wild.voice[i] = static_cast<uint8_t>(37 * i + 200);
    for (int i = 0; i < synth::kChannelParamCount; ++i) wild.channel[i] = static_cast<uint8_t>(53 * i + 129);
    wild.voice[kOsc1] = 6;
    wild.voice[kOsc2] = 7;
    wild.voice[kFilter1] = 7;
    wild.voice[kShaper] = 9;
    wild.routes.push_back(ModRoute{kSourceKeyboard, 0, kEnv1 + 2});
    wild.routes.push_back(ModRoute{kSourceVelocity, 127, 200});
    patches.push_back(wild);

    return patches;
}

std::vector<uint8_t> examplePatchBank() { return player::buildPatchBank(examplePatches()); }

std::vector<uint8_t> exampleEffectBlock() {
    // Reverb time, damping, low cut, input; delay mix, feedback, left, right,
    // rate, depth, phase; master low cut, high cut; master dynamics d0..d8.
    return {40, 100, 25, 87, 90, 80, 53, 54, 10, 67, 64, 0, 120, 1, 0, 1, 2, 90, 32, 20, 64, 64, 0};
}

std::vector<const char*> exampleLyrics() {
    return {
        "!DHAX_ !kwIH_k !br4AH_UHn !fAA_ks !jAH_mps !OW!vER_ !DHAX_ !lEY!zIY_ !dAA_g ",
        "3la9la0laaa sIIIng  zzzz",
        "!_!_!_",
        "",
        "\x01\x7f\xff~~~99999999999999",
    };
}

std::vector<uint8_t> exampleSong(int variant) {
    player::SongWriter song;
    const uint32_t ppq = variant == 3 ? 96 : 128;
    song.setTicksPerQuarter(ppq);
    song.addTempo(0, 371519);
    if (variant != 0) {
        song.addTempo(4 * ppq, 250000, 3, 4);
        song.addTempo(7 * ppq, 600000, 7, 8, 24);
    }
    if (variant == 4) song.addTempo(8 * ppq, 1, 1, 1);  // the shortest tempo the format holds

    for (int track = 0; track < 4; ++track) {
        const uint32_t step = ppq / static_cast<uint32_t>(track + 1);
        song.addProgram(track, 0, static_cast<uint8_t>(track));
        song.addController(track, 7, 0, 100);
        for (uint32_t i = 0; i < 16; ++i) {
            const uint32_t tick = i * step;
            const auto note = static_cast<uint8_t>(36 + 12 * track + (i * 5) % 19);
            song.addNoteOn(track, tick, note, static_cast<uint8_t>(40 + 5 * i));
            song.addNoteOff(track, tick + step / 2 + (variant == 2 ? step : 0), note);
        }
        song.addController(track, 1, 2 * ppq, static_cast<uint8_t>(20 * track));
        song.addPitchBend(track, ppq, 0, 64);
    }
    // A program change to a program the bank does not hold, mid-song.
    song.addProgram(2, 3 * ppq, 9);
    song.addProgram(2, 5 * ppq, 2);
    // Lanes 2..6 carry values on track 1 (a program change clears them again).
    for (int number = 2; number <= 6; ++number)
        song.addController(1, number, static_cast<uint32_t>(number) * ppq / 2, static_cast<uint8_t>(30 * number));

    // Channel 15 sings: controller 4 picks the line, 5 the formant scale.
    song.addProgram(15, 0, 2);
    song.addController(15, 4, 0, static_cast<uint8_t>(variant % 3));
    song.addController(15, 4, ppq / 4, 66);
    song.addController(15, 5, ppq, 80);
    for (uint32_t i = 0; i < 12; ++i) {
        const auto note = static_cast<uint8_t>(57 + i % 5);
        song.addNoteOn(15, i * ppq / 2, note, 90);
        song.addNoteOff(15, i * ppq / 2 + ppq / 3, note);
    }

    std::vector<uint8_t> effects = exampleEffectBlock();
    if (variant == 1) effects.resize(10);  // shorter than the 22 bytes read: zero-padded
    song.setEffectBlock(effects);
    for (const PatchDescription& patch : examplePatches()) song.addPatch(patch);
    if (variant != 3)
        for (const char* text : exampleLyrics()) song.addText(text);
    return song.build();
}

namespace {

constexpr uint32_t kRates[8] = {44100, 48000, 22050, 96000, kHighestRate, 8000, 11025, 1};

uint32_t readU16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8; }

void putU16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    putU16(out, v & 0xFFFF);
    putU16(out, v >> 16);
}

}  // namespace

// Header: u32 rate word (top bit clear: one of kRates; set: 1 + low bits mod
// the highest rate), i32 seek ms, u16 first frames, u16 second frames, u16
// block frames, flags (bit 0 mix, bit 1 fade, bit 2 in range), fade time in
// 10 ms units.
PlayControls readPlayControls(const uint8_t* h) {
    PlayControls c;
    const uint32_t rateWord = player::readU32(h);
    c.sampleRate = (rateWord & 0x80000000u) != 0 ? 1 + (rateWord & 0x7FFFFFFFu) % kHighestRate : kRates[rateWord % 8];
    c.seekMs = static_cast<int32_t>(player::readU32(h + 4));
    c.firstFrames = readU16(h + 8) % (kMaxRenderFrames + 1);
    c.secondFrames = readU16(h + 10) % (kMaxRenderFrames + 1);
    c.blockFrames = 1 + readU16(h + 12) % kMaxBlockFrames;
    c.mix = (h[14] & 1) != 0;
    c.fadeMs = (h[14] & 2) != 0 ? 10 * static_cast<int32_t>(h[15]) : 0;
    c.inRange = (h[14] & 4) != 0;
    return c;
}

std::vector<uint8_t> writePlayControls(const PlayControls& c) {
    std::vector<uint8_t> h;
    uint32_t rateWord = 0x80000000u | (c.sampleRate - 1);
    for (uint32_t i = 0; i < 8; ++i)
        if (kRates[i] == c.sampleRate) rateWord = i;
    putU32(h, rateWord);
    putU32(h, static_cast<uint32_t>(c.seekMs));
    putU16(h, c.firstFrames);
    putU16(h, c.secondFrames);
    putU16(h, c.blockFrames - 1);
    h.push_back(static_cast<uint8_t>((c.mix ? 1 : 0) | (c.fadeMs != 0 ? 2 : 0) | (c.inRange ? 4 : 0)));
    h.push_back(static_cast<uint8_t>(c.fadeMs / 10));
    return h;
}

}  // namespace zimblo::fuzz
