// Readable names for every byte of a patch and of the global effect block.
//
// A patch is 88 parameter bytes (59 voice, 29 channel), each addressed in a
// project file as "section.key" (osc1.gain, chorus.mix); the global effect
// block's 22 read bytes g0..g21 likewise (reverb.time, dynamics.gain). Bytes
// with named choices (waveforms, filter types) accept the name or the byte;
// switches accept true/false or the byte. The same tables give the defaults a
// patch or effect block takes for what it leaves out, and the names the dump
// prints.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zimblo::songc {

struct Choice {
    std::string_view name;
    uint8_t value = 0;
};

enum class ValueKind { Byte, Switch, Choice };

struct ParameterInfo {
    std::string_view section;  // "osc1", "channel", "reverb", ...
    std::string_view key;      // "gain", "volume", ...
    int index = 0;             // patch byte 0..87, or effect byte 0..21
    uint8_t defaultValue = 0;
    ValueKind kind = ValueKind::Byte;
    std::span<const Choice> choices;

    std::string fullName() const { return std::string(section) + "." + std::string(key); }
};

// The 88 patch parameters in byte order (index i is patch byte i).
std::span<const ParameterInfo> patchParameters();
// The 22 global effect bytes g0..g21 in byte order.
std::span<const ParameterInfo> effectParameters();

// Lookup by "section" and "key"; nullptr when there is no such parameter.
const ParameterInfo* findPatchParameter(std::string_view section, std::string_view key);
const ParameterInfo* findEffectParameter(std::string_view section, std::string_view key);
bool isPatchSection(std::string_view section);
bool isEffectSection(std::string_view section);

// The byte a choice name stands for.
std::optional<uint8_t> choiceValue(const ParameterInfo& parameter, std::string_view name);
// "sine (3)" for a named byte, "true (1)" for a switch, "100" otherwise.
std::string describeValue(const ParameterInfo& parameter, uint8_t value);
// "a, b or c": the names a choice parameter accepts, for error messages.
std::string choiceList(const ParameterInfo& parameter);

// Modulation sources: "velocity", "cc1".."cc7", "env1", "env2", "lfo1", "lfo2", "key".
std::optional<uint8_t> routeSourceValue(std::string_view name);
std::string routeSourceName(uint8_t source);
// Destinations: a patch parameter's full name, or "none" for 88 and above.
std::string routeDestinationName(uint8_t destination);

constexpr uint8_t kDefaultVoiceLimit = 8;

}  // namespace zimblo::songc
