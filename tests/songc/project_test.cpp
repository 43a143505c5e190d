// The project file: named patch parameters onto their bytes with defaults,
// choices and switches, based_on, routes, the effect block, the tempo map,
// program numbering, and the refusal of bad projects with file:line.

#include "project.h"

#include <gtest/gtest.h>

#include "songc/songc_test_util.h"

#include <set>

#include "parameter_names.h"

namespace zimblo::songc {
namespace {

Project parse(const std::string& text) { return parseProject(text, "song.toml", "."); }

std::string errorOf(const std::string& text) {
    try {
        parse(text);
    } catch (const InputError& e) {
        return e.what();
    }
    return "(no error)";
}

uint8_t patchByte(const player::PatchDescription& p, int index) {
    return index < synth::kVoiceParamCount ? p.voice[index] : p.channel[index - synth::kVoiceParamCount];
}

TEST(ParameterTables, EveryPatchAndEffectByteHasOneName) {
    const auto patch = patchParameters();
    ASSERT_EQ(patch.size(), size_t{synth::kFirstUnusedDestination});
    std::set<std::string> names;
    for (size_t i = 0; i < patch.size(); ++i) {
        EXPECT_EQ(patch[i].index, static_cast<int>(i));
        EXPECT_TRUE(names.insert(patch[i].fullName()).second) << patch[i].fullName();
        EXPECT_EQ(findPatchParameter(patch[i].section, patch[i].key), &patch[i]);
    }
    // Spot checks of the byte layout: each unit's first and last byte.
    const std::vector<std::pair<std::string, int>> layout = {
        {"voice.pan", 0},        {"voice.transpose", 1},  {"osc1.waveform", 2},   {"osc1.gain", 7},
        {"osc2.waveform", 8},    {"osc3.gain", 19},       {"filter1.type", 20},   {"filter2.resonance", 25},
        {"voice.routing", 26},   {"voice.balance", 27},   {"shaper.mode", 28},    {"shaper.bias", 31},
        {"env1.attack", 32},     {"env1.gain", 37},       {"env2.gain", 43},      {"lfo1.shape", 44},
        {"lfo1.amount", 50},     {"lfo2.amount", 57},     {"voice.note_start", 58}, {"channel.volume", 59},
        {"channel.bass", 67},    {"channel_shaper.mode", 68}, {"chorus.mix", 72}, {"chorus.phase", 78},
        {"dynamics.kind", 79},   {"dynamics.gain", 87}};
    for (const auto& [name, index] : layout) EXPECT_EQ(patch[index].fullName(), name);

    const auto effects = effectParameters();
    ASSERT_EQ(effects.size(), 22u);
    const std::vector<std::string> roles = {
        "reverb.time",      "reverb.damping",    "reverb.low_cut",     "reverb.input",     "delay.mix",
        "delay.feedback",   "delay.left",        "delay.right",        "delay.rate",       "delay.depth",
        "delay.phase",      "master.low_cut",    "master.high_cut",    "dynamics.kind",    "dynamics.stereo",
        "dynamics.makeup",  "dynamics.lookahead", "dynamics.threshold", "dynamics.ratio",  "dynamics.attack",
        "dynamics.release", "dynamics.gain"};
    for (size_t i = 0; i < roles.size(); ++i) EXPECT_EQ(effects[i].fullName(), roles[i]);
}

TEST(ProjectPatches, NamedKeysSetTheirBytesAndTheRestTakeDefaults) {
    const Project p = parse(R"(
[[patch]]
name = "lead"
voices = 3
[patch.osc2]
waveform = "noise"
[patch.filter1]
cutoff = 40
[patch.env1]
gain = 77
[patch.lfo2]
amount = 255
[patch.voice]
note_start = "reset"
[patch.channel]
volume = 0
[patch.chorus]
mix = 96
[patch.dynamics]
gain = 70
)");
    ASSERT_EQ(p.patches.size(), 1u);
    const player::PatchDescription& d = p.patches[0];
    const std::map<int, uint8_t> set = {{8, 4}, {21, 40}, {37, 77}, {57, 255}, {58, 2}, {59, 0}, {72, 96}, {87, 70}};
    for (const ParameterInfo& info : patchParameters()) {
        const auto given = set.find(info.index);
        EXPECT_EQ(patchByte(d, info.index), given != set.end() ? given->second : info.defaultValue) << info.fullName();
    }
    EXPECT_EQ(d.voiceLimit, 3);
    EXPECT_TRUE(d.routes.empty());
    EXPECT_EQ(p.patchNames[0], "lead");
    // The neutral patch: one triangle oscillator at half gain, open filters
    // switched off, an organ envelope, unity drive, the chorus off.
    const player::PatchDescription plain = parse("[[patch]]\n").patches[0];
    EXPECT_EQ(plain.voice[2], 1);    // osc1 trisaw
    EXPECT_EQ(plain.voice[6], 64);   // colour 64: a triangle
    EXPECT_EQ(plain.voice[7], 64);   // gain 1/2
    EXPECT_EQ(plain.voice[8], 0);    // osc2 off
    EXPECT_EQ(plain.voice[34], 128); // env1 sustain at the top
    EXPECT_EQ(plain.voice[35], 64);  // and held
    EXPECT_EQ(plain.voice[29], 32);  // shaper drive 1
    EXPECT_EQ(plain.voice[49], 2);   // LFOs bipolar
    EXPECT_EQ(plain.voice[58], 1);   // note start: restart phases
    EXPECT_EQ(plain.channel[0], 100);
    EXPECT_EQ(plain.channel[13], 64);  // chorus wet 0
    EXPECT_EQ(plain.voiceLimit, kDefaultVoiceLimit);
}

TEST(ProjectPatches, ChoicesSwitchesAndBasedOn) {
    const Project p = parse(R"(
[[patch]]
name = "a"
routes = [ { source = "cc7", amount = 100, destination = "channel.volume" } ]
[patch.lfo1]
key_sync = true
one_shot = 1
polarity = "negative"
[patch.osc3]
multiply = true
[patch.shaper]
mode = "filter_ladder_high"
[patch.filter2]
type = 7
[patch.voice]
routing = "parallel"

[[patch]]
name = "b"
based_on = "a"
[patch.lfo1]
key_sync = false

[[patch]]
based_on = "a"
routes = []
)");
    ASSERT_EQ(p.patches.size(), 3u);
    const auto& a = p.patches[0].voice;
    EXPECT_EQ(a[45], 1);
    EXPECT_EQ(a[46], 1);
    EXPECT_EQ(a[49], 1);
    EXPECT_EQ(a[15], 1);
    EXPECT_EQ(a[28], 11);
    EXPECT_EQ(a[23], 7);
    EXPECT_EQ(a[26], 2);
    // b copies a, overrides one byte, inherits the route.
    player::PatchDescription expected = p.patches[0];
    expected.voice[45] = 0;
    EXPECT_EQ(p.patches[1].voice, expected.voice);
    EXPECT_EQ(p.patches[1].channel, expected.channel);
    ASSERT_EQ(p.patches[1].routes.size(), 1u);
    EXPECT_EQ(p.patches[1].routes[0].destination, 59);
    // Giving routes replaces the inherited list.
    EXPECT_TRUE(p.patches[2].routes.empty());
    EXPECT_EQ(p.patches[2].voice, p.patches[0].voice);
}

TEST(ProjectPatches, RoutesNameTheirSourcesAndDestinations) {
    const Project p = parse(R"(
[[patch]]
routes = [
  { source = "velocity", amount = 127, destination = "env1.gain" },
  { source = "cc1", amount = 0, destination = "filter1.cutoff" },
  { source = "cc7", amount = 100, destination = "channel.volume" },
  { source = "env1", amount = 64, destination = "voice.pan" },
  { source = "env2", amount = 70, destination = "dynamics.gain" },
  { source = "lfo1", amount = 80, destination = "osc1.detune" },
  { source = "lfo2", amount = 90, destination = "chorus.depth" },
  { source = "key", amount = 60, destination = "filter2.cutoff" },
  { source = 200, amount = 1, destination = 88 },
]
)");
    const std::vector<std::array<int, 3>> expected = {{0, 127, 37}, {1, 0, 21},  {7, 100, 59}, {8, 64, 0},   {9, 70, 87},
                                                      {10, 80, 5},  {11, 90, 77}, {12, 60, 24}, {200, 1, 88}};
    const auto& routes = p.patches[0].routes;
    ASSERT_EQ(routes.size(), expected.size());
    for (size_t i = 0; i < routes.size(); ++i) {
        EXPECT_EQ(routes[i].source, expected[i][0]) << i;
        EXPECT_EQ(routes[i].amount, expected[i][1]) << i;
        EXPECT_EQ(routes[i].destination, expected[i][2]) << i;
    }
    EXPECT_EQ(routeSourceName(7), "cc7");
    EXPECT_EQ(routeSourceName(12), "key");
    EXPECT_EQ(routeDestinationName(59), "channel.volume");
    EXPECT_EQ(routeDestinationName(88), "none (88)");
}

TEST(ProjectEffects, NamedRolesAndExtraBytesMakeTheBlock) {
    const Project p = parse(R"(
[effects]
extra_bytes = [0]
[effects.reverb]
time = 30
damping = 127
low_cut = 25
input = 87
[effects.delay]
left = 53
right = 54
rate = 0
depth = 67
[effects.master]
low_cut = 0
high_cut = 127
[effects.dynamics]
kind = "off"
stereo = false
makeup = true
lookahead = 2
threshold = 90
ratio = 32
attack = 20
release = 64
gain = 64
)");
    EXPECT_EQ(p.effectBlock, (std::vector<uint8_t>{30, 127, 25, 87, 64, 64, 53, 54, 0, 67, 64, 0, 127, 0, 0, 1, 2, 90,
                                                   32, 20, 64, 64, 0}));
    std::vector<uint8_t> defaults;
    for (const ParameterInfo& info : effectParameters()) defaults.push_back(info.defaultValue);
    EXPECT_EQ(parse("").effectBlock, defaults);
    EXPECT_EQ(defaults[4], 64);    // the global delay off
    EXPECT_EQ(defaults[12], 127);  // the high-cut bypassed
    EXPECT_EQ(defaults[13], 0);    // the master compressor off
}

TEST(ProjectTempo, EntriesFromBpmOrMicrosecondsAtBarsOrTicks) {
    const Project p = parse(R"(
[song]
ticks_per_quarter = 96
[[tempo]]
bpm = 120
numerator = 3
[[tempo]]
at = 3
microseconds_per_quarter = 371519
[[tempo]]
at = "4:2"
bpm = 90.5
numerator = 6
denominator = 8
third_byte = 24
[[tempo]]
tick = 5000
)");
    ASSERT_EQ(p.tempo.size(), 4u);
    EXPECT_EQ(p.tempo[0].tick, 0u);
    EXPECT_EQ(p.tempo[0].microsecondsPerQuarter, 500000u);
    EXPECT_EQ(p.tempo[0].numerator, 3);
    EXPECT_EQ(p.tempo[1].tick, 2u * 288);  // two bars of 3/4 at 96 ticks per quarter
    EXPECT_EQ(p.tempo[1].numerator, 3);    // inherited
    EXPECT_EQ(p.tempo[1].thirdByte, 8);
    EXPECT_EQ(p.tempo[2].tick, 3u * 288 + 96);
    EXPECT_EQ(p.tempo[2].microsecondsPerQuarter, 662983u);  // round(60000000 / 90.5)
    EXPECT_EQ(p.tempo[2].denominator, 8);
    EXPECT_EQ(p.tempo[2].thirdByte, 24);
    EXPECT_EQ(p.tempo[3].tick, 5000u);
    EXPECT_EQ(p.tempo[3].numerator, 6);
}

TEST(ProjectPatches, ProgramsByPositionOrNumber) {
    const Project p = parse("[[patch]]\nname = \"x\"\nprogram = 1\n[[patch]]\nname = \"y\"\nprogram = 0\n");
    EXPECT_EQ(p.patchNames, (std::vector<std::string>{"y", "x"}));
    EXPECT_EQ(p.programNamed("x"), 1);
    EXPECT_EQ(p.programNamed("z"), std::nullopt);
    EXPECT_NE(errorOf("[[patch]]\nprogram = 2\n[[patch]]\n").find("song.toml:1:1: program 2 leaves a gap"), std::string::npos);
    EXPECT_NE(errorOf("[[patch]]\n[[patch]]\nprogram = 0\n").find("program 0 is already taken"), std::string::npos);
}

TEST(ProjectPatches, AtMost128NumberedPatchesAndLibraryPatchesByName) {
    std::string bank;
    for (int p = 0; p < 129; ++p) bank += "[[patch]]\n";
    try {
        parseProject(bank, "song.toml", ".");
        ADD_FAILURE() << "a 129th numbered patch was accepted";
    } catch (const InputError& e) {
        EXPECT_EQ(std::string(e.what()).find("song.toml:129:1: a bank holds at most 128 numbered patches"), 0u) << e.what();
    }
    // Unnumbered patches, the built-in bank and included files are a library, taken by name.
    const Project p = parseProject(
        "include = [\"gm\"]\n[[patch]]\nname = \"lead\"\nbased_on = \"violin\"\n[patch.env1]\nrelease = 99\n"
        "[[patch]]\nname = \"spare\"\nnumbered = false\nbased_on = \"gm:flute\"\n",
        "song.toml", ".");
    ASSERT_EQ(p.patches.size(), 1u);
    EXPECT_EQ(p.patches[0].voice[36], 99);
    EXPECT_EQ(p.patches[0].voice[1], 76);  // the violin's concert-pitch transpose came along
    ASSERT_NE(p.patchNamed("spare"), nullptr);
    EXPECT_EQ(p.patchNamed("flute")->voice, p.patchNamed("gm:flute")->voice);
    EXPECT_EQ(p.patchNamed("nothing"), nullptr);
    // An included file that cannot be read is an I/O failure at the place that names it.
    try {
        parseProject("include = [\"missing.toml\"]\n", "song.toml", "/nonexistent");
        ADD_FAILURE() << "a missing include was accepted";
    } catch (const IoError& e) {
        EXPECT_EQ(std::string(e.what()), "song.toml:1:12: cannot open the included file missing.toml");
    }
    // A file that includes itself is refused at once.
    test::ScratchDir dir;
    dir.write("self.toml", "include = [\"self.toml\"]\n");
    try {
        parseProject("include = [\"self.toml\"]\n", "song.toml", dir.path());
        ADD_FAILURE() << "an include cycle was accepted";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("self.toml:1:12: the included file self.toml includes itself"), std::string::npos) << e.what();
    }
    // A device or folder is not read (it could be endless).
    try {
        parseProject("include = [\"zero\"]\n", "song.toml", "/dev");
        ADD_FAILURE() << "a device was read as an included file";
    } catch (const IoError& e) {
        EXPECT_NE(std::string(e.what()).find("is not a regular file"), std::string::npos);
    }
}

TEST(ProjectErrors, BadProjectsAreRefusedWithFileAndLine) {
    const std::string longText(8200, 'a');
    std::string manyTexts = "[song]\ntexts = [";
    for (int i = 0; i < 257; ++i) manyTexts += "\"a\",";
    manyTexts += "]\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[song\n", "song.toml:1:6: "},
        {"[sung]\n", "song.toml:1:2: unknown key 'sung' in the project"},
        {"[song]\nticks_per_quarter = 0\n", "song.toml:2:21: ticks_per_quarter 0 is out of range 1..429496"},
        {"[song]\nscores = \"a.score\"\n", "song.toml:2:10: scores must be an array"},
        {"[[patch]]\n[patch.osc1]\ngain = 256\n", "song.toml:3:8: osc1.gain 256 is out of range 0..255"},
        {"[[patch]]\n[patch.osc1]\ngain = -1\n", "song.toml:3:8: osc1.gain -1 is out of range 0..255"},
        {"[[patch]]\n[patch.osc1]\nwidth = 3\n", "song.toml:3:1: unknown key 'width' in [patch.osc1] (known: waveform,"},
        {"[[patch]]\n[patch.osc4]\n", "song.toml:2:8: unknown key 'osc4' in [[patch]]"},
        {"[[patch]]\n[patch.osc1]\nwaveform = \"saw\"\n", "song.toml:3:12: unknown value \"saw\" for osc1.waveform (off, trisaw,"},
        {"[[patch]]\n[patch.osc1]\ngain = true\n", "song.toml:3:8: osc1.gain takes a number 0..255, not true/false"},
        {"[[patch]]\n[patch.lfo1]\nkey_sync = \"yes\"\n", "lfo1.key_sync takes a number 0..255 or true/false"},
        {"[[patch]]\nroutes = [ { source = \"cc8\", amount = 1, destination = \"voice.pan\" } ]\n",
         "song.toml:2:23: unknown route source \"cc8\""},
        {"[[patch]]\nroutes = [ { source = \"cc1\", amount = 1, destination = \"osc1.pitch\" } ]\n",
         "unknown route destination \"osc1.pitch\""},
        {"[[patch]]\nroutes = [ { source = \"cc1\", amount = 128, destination = 0 } ]\n", "route amount 128 is out of range 0..127"},
        {"[[patch]]\nroutes = [ { source = \"cc1\", destination = 0 } ]\n", "a route needs source, amount and destination"},
        {"[[patch]]\nbased_on = \"pad\"\n", "song.toml:2:12: based_on \"pad\": no earlier patch has that name"},
        {"[[patch]]\nname = \"a\"\n[[patch]]\nname = \"a\"\n", "song.toml:4:8: patch name 'a' is already used"},
        {"[[patch]]\nvoices = 300\n", "voices 300 is out of range 0..255"},
        {"[effects.reverb]\nsize = 3\n", "song.toml:2:1: unknown key 'size' in [effects.reverb]"},
        {"[effects.delay]\nmix = 999\n", "effects delay.mix 999 is out of range 0..255"},
        {"[song]\ntexts = [\"" + longText + "\"]\n", "must stay below 8192"},
        {manyTexts, "257 texts: a song holds at most 256"},
        {"[[tempo]]\nmicroseconds_per_quarter = 4455361\n", "microseconds_per_quarter 4455361 is out of range 1..4455360"},
        {"[[tempo]]\nbpm = 0\n", "bpm must lie between"},
        {"[[tempo]]\n[[tempo]]\nbpm = 100\n", "song.toml:2:1: a tempo entry after the first needs 'at' or 'tick'"},
        {"[[tempo]]\ntick = 10\n[[tempo]]\ntick = 10\n", "tempo entries must be in increasing position"},
        {"[[tempo]]\nnumerator = 1\ndenominator = 8\n", "a bar of 1/8 must hold at least one quarter"},
        {"[[tempo]]\nat = \"2:9\"\n", "beat 9 lies outside bar 2"},
        {"[[midi]]\nfile = \"a.mid\"\nchannels = { \"17\" = 0 }\n", "song.toml:3:14: MIDI channel 17 is out of range 1..16"},
        {"[[midi]]\nfile = \"a.mid\"\ncontrollers = { \"11\" = 8 }\n", "song.toml:3:24: controller lane 8 is outside 1..7"},
        {"[[midi]]\nfile = \"a.mid\"\ncontrollers = { \"11\" = 0 }\n", "controller lane 0 is outside 1..7"},
        {"[[midi]]\nchannels = {}\n", "song.toml:1:1: a [[midi]] table needs 'file'"},
        {"[[tempo]]\n[[midi]]\nfile = \"a.mid\"\ntempo = true\n", "song.toml:4:9: the project has [[tempo]] entries"},
        {"[[midi]]\nfile = \"a.mid\"\ntempo = true\nat = 3\n", "a MIDI file that brings the tempo map starts at bar 1"},
        {"[[patch]]\nbased_on = \"gm:no_such\"\n", "(the built-in bank has no such patch)"},
        {"[[patch]]\nnumbered = false\n", "song.toml:2:12: a patch with numbered = false needs a name"},
        {"[[patch]]\nname = \"x\"\nprogram = 3\nnumbered = false\n", "takes no program number"},
        {"[[midi]]\nfile = \"a.mid\"\ngeneral_midi = true\nchannels = { \"1\" = 0 }\n", "general_midi places channels"},
    };
    for (const auto& [text, expected] : cases) {
        const std::string error = errorOf(text);
        EXPECT_NE(error.find(expected), std::string::npos) << "project:\n" << text.substr(0, 200) << "\ngave: " << error;
    }
}

}  // namespace
}  // namespace zimblo::songc
