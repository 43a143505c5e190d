#include "parameter_names.h"

#include <array>
#include <vector>

#include "synth/patch.h"

namespace zimblo::songc {

namespace {

constexpr Choice kSwitch[] = {{"false", 0}, {"true", 1}};
constexpr Choice kWaveforms[] = {{"off", 0},   {"trisaw", 1},   {"pulse", 2}, {"sine", 3},
                                 {"noise", 4}, {"phasemod", 5}, {"aux1", 6},  {"aux2", 7}};
constexpr Choice kFilterTypes[] = {{"off", 0},   {"low", 1},           {"band", 2},
                                   {"high", 3},  {"notch", 4},         {"low_band_high", 5},
                                   {"ladder_low", 6}, {"ladder_high", 7}};
constexpr Choice kRoutings[] = {{"single", 0}, {"serial", 1}, {"parallel", 2}};
constexpr Choice kNoteStarts[] = {{"legato", 0}, {"restart", 1}, {"reset", 2}};
constexpr Choice kShaperModes[] = {
    {"off", 0},          {"overdrive", 1},      {"clip", 2},
    {"crush", 3},        {"decimate", 4},       {"filter_low", 5},
    {"filter_band", 6},  {"filter_high", 7},    {"filter_notch", 8},
    {"filter_low_band_high", 9}, {"filter_ladder_low", 10}, {"filter_ladder_high", 11}};
constexpr Choice kLfoShapes[] = {{"saw", 0}, {"triangle", 1}, {"square", 2}, {"sine", 3}, {"random", 4}};
constexpr Choice kPolarities[] = {{"positive", 0}, {"negative", 1}, {"bipolar", 2}};
constexpr Choice kOrders[] = {{"shaper_first", 0}, {"chorus_first", 1}};
constexpr Choice kDetectors[] = {{"off", 0}, {"peak", 1}, {"rms", 2}};

class TableBuilder {
public:
    explicit TableBuilder(std::vector<ParameterInfo>& out) : out_(out) {}

    void byte(std::string_view section, std::string_view key, uint8_t defaultValue) {
        add(section, key, defaultValue, ValueKind::Byte, {});
    }
    void toggle(std::string_view section, std::string_view key, uint8_t defaultValue = 0) {
        add(section, key, defaultValue, ValueKind::Switch, kSwitch);
    }
    void choice(std::string_view section, std::string_view key, uint8_t defaultValue,
                std::span<const Choice> choices) {
        add(section, key, defaultValue, ValueKind::Choice, choices);
    }

    void oscillator(std::string_view section, uint8_t waveform) {
        choice(section, "waveform", waveform, kWaveforms);
        toggle(section, "multiply");
        byte(section, "transpose", 64);
        byte(section, "detune", 64);
        byte(section, "colour", 64);
        byte(section, "gain", 64);
    }
    void filter(std::string_view section) {
        choice(section, "type", 0, kFilterTypes);
        byte(section, "cutoff", 127);
        byte(section, "resonance", 0);
    }
    void shaper(std::string_view section) {
        choice(section, "mode", 0, kShaperModes);
        byte(section, "drive", 32);  // drive 2^((32 − 32)/16) = 1
        byte(section, "amount", 127);
        byte(section, "bias", 64);
    }
    void envelope(std::string_view section) {
        byte(section, "attack", 0);
        byte(section, "decay", 0);
        byte(section, "sustain", 128);
        byte(section, "sustain_rate", 64);  // factor 2^0: the level holds
        byte(section, "release", 32);
        byte(section, "gain", 128);
    }
    void lfo(std::string_view section) {
        choice(section, "shape", 3, kLfoShapes);
        toggle(section, "key_sync");
        toggle(section, "one_shot");
        byte(section, "rate", 64);
        byte(section, "phase", 0);
        choice(section, "polarity", 2, kPolarities);
        byte(section, "amount", 64);
    }
    void modDelay(std::string_view section, uint8_t left, uint8_t right, uint8_t rate, uint8_t depth,
                  uint8_t phase) {
        byte(section, "mix", 64);  // wet 0: the unit is off
        byte(section, "feedback", 64);
        byte(section, "left", left);
        byte(section, "right", right);
        byte(section, "rate", rate);
        byte(section, "depth", depth);
        byte(section, "phase", phase);
    }
    void dynamics(std::string_view section) {
        choice(section, "kind", 0, kDetectors);
        toggle(section, "stereo");
        toggle(section, "makeup");
        byte(section, "lookahead", 0);
        byte(section, "threshold", 90);  // 8·2^(10·(90/128 − 1)) ≈ 1.02, about full scale
        byte(section, "ratio", 0);
        byte(section, "attack", 0);
        byte(section, "release", 0);
        byte(section, "gain", 64);  // 2^0: 0 dB
    }

private:
    void add(std::string_view section, std::string_view key, uint8_t defaultValue, ValueKind kind,
             std::span<const Choice> choices) {
        out_.push_back(ParameterInfo{section, key, static_cast<int>(out_.size()), defaultValue, kind, choices});
    }
    std::vector<ParameterInfo>& out_;
};

std::vector<ParameterInfo> makePatchTable() {
    std::vector<ParameterInfo> table;
    TableBuilder b(table);
    b.byte("voice", "pan", 64);                              // 0
    b.byte("voice", "transpose", 64);                        // 1
    b.oscillator("osc1", 1);                                 // 2..7
    b.oscillator("osc2", 0);                                 // 8..13
    b.oscillator("osc3", 0);                                 // 14..19
    b.filter("filter1");                                     // 20..22
    b.filter("filter2");                                     // 23..25
    b.choice("voice", "routing", 0, kRoutings);              // 26
    b.byte("voice", "balance", 64);                          // 27
    b.shaper("shaper");                                      // 28..31
    b.envelope("env1");                                      // 32..37
    b.envelope("env2");                                      // 38..43
    b.lfo("lfo1");                                           // 44..50
    b.lfo("lfo2");                                           // 51..57
    b.choice("voice", "note_start", 1, kNoteStarts);         // 58
    b.byte("channel", "volume", 100);                        // 59 (channel 0)
    b.byte("channel", "aux1_return", 0);
    b.byte("channel", "aux2_return", 0);
    b.byte("channel", "aux1_send", 0);
    b.byte("channel", "aux2_send", 0);
    b.byte("channel", "reverb", 0);
    b.byte("channel", "delay", 0);
    b.choice("channel", "order", 0, kOrders);
    b.byte("channel", "bass", 0);                            // channel 8
    b.shaper("channel_shaper");                              // channel 9..12
    b.modDelay("chorus", 16, 20, 40, 8, 96);                 // channel 13..19
    b.dynamics("dynamics");                                  // channel 20..28
    return table;
}

std::vector<ParameterInfo> makeEffectTable() {
    std::vector<ParameterInfo> table;
    TableBuilder b(table);
    b.byte("reverb", "time", 64);        // g0
    b.byte("reverb", "damping", 96);     // g1
    b.byte("reverb", "low_cut", 16);     // g2
    b.byte("reverb", "input", 64);       // g3
    b.modDelay("delay", 32, 36, 0, 0, 64);  // g4..g10
    b.byte("master", "low_cut", 0);      // g11
    b.byte("master", "high_cut", 127);   // g12: coefficient 1, the high-cut is bypassed
    b.dynamics("dynamics");              // g13..g21
    return table;
}

const std::vector<ParameterInfo>& patchTable() {
    static const std::vector<ParameterInfo> table = makePatchTable();
    return table;
}

const std::vector<ParameterInfo>& effectTable() {
    static const std::vector<ParameterInfo> table = makeEffectTable();
    return table;
}

const ParameterInfo* find(const std::vector<ParameterInfo>& table, std::string_view section,
                          std::string_view key) {
    for (const ParameterInfo& p : table)
        if (p.section == section && p.key == key) return &p;
    return nullptr;
}

bool hasSection(const std::vector<ParameterInfo>& table, std::string_view section) {
    for (const ParameterInfo& p : table)
        if (p.section == section) return true;
    return false;
}

constexpr std::array<std::string_view, 12> kSourceNames = {
    "velocity", "cc1", "cc2", "cc3", "cc4", "cc5", "cc6", "cc7", "env1", "env2", "lfo1", "lfo2"};

}  // namespace

std::span<const ParameterInfo> patchParameters() { return patchTable(); }
std::span<const ParameterInfo> effectParameters() { return effectTable(); }

const ParameterInfo* findPatchParameter(std::string_view section, std::string_view key) {
    return find(patchTable(), section, key);
}

const ParameterInfo* findEffectParameter(std::string_view section, std::string_view key) {
    return find(effectTable(), section, key);
}

bool isPatchSection(std::string_view section) { return hasSection(patchTable(), section); }
bool isEffectSection(std::string_view section) { return hasSection(effectTable(), section); }

std::optional<uint8_t> choiceValue(const ParameterInfo& parameter, std::string_view name) {
    for (const Choice& c : parameter.choices)
        if (c.name == name) return c.value;
    return std::nullopt;
}

std::string describeValue(const ParameterInfo& parameter, uint8_t value) {
    for (const Choice& c : parameter.choices)
        if (c.value == value) return std::string(c.name) + " (" + std::to_string(value) + ")";
    return std::to_string(value);
}

std::string choiceList(const ParameterInfo& parameter) {
    std::string list;
    for (size_t i = 0; i < parameter.choices.size(); ++i) {
        if (i > 0) list += i + 1 == parameter.choices.size() ? " or " : ", ";
        list += parameter.choices[i].name;
    }
    return list;
}

std::optional<uint8_t> routeSourceValue(std::string_view name) {
    for (size_t i = 0; i < kSourceNames.size(); ++i)
        if (kSourceNames[i] == name) return static_cast<uint8_t>(i);
    if (name == "key") return static_cast<uint8_t>(synth::ModSource::Keyboard);
    return std::nullopt;
}

std::string routeSourceName(uint8_t source) {
    if (source < kSourceNames.size()) return std::string(kSourceNames[source]);
    if (source == static_cast<uint8_t>(synth::ModSource::Keyboard)) return "key";
    return "key (" + std::to_string(source) + ")";
}

std::string routeDestinationName(uint8_t destination) {
    if (destination < synth::kFirstUnusedDestination) return patchTable()[destination].fullName();
    return "none (" + std::to_string(destination) + ")";
}

}  // namespace zimblo::songc
