// The built-in instrument bank: the 128 General MIDI programs and the drum
// kit, written as an ordinary project file (tools/songc/bank/gm.toml) and
// compiled into the program, so the compiler needs no installed data.
//
// Its patches are addressed as "gm:NAME" (based_on, program=, includes), a
// project names them without the prefix after `include = ["gm"]`, and a MIDI
// file played as General MIDI takes program p from the bank's numbered patch
// p and its drums from the kit patches (kit_kick, kit_snare, ...).
#pragma once

#include <string>
#include <string_view>

#include "player/song_writer.h"

namespace zimblo::songc {

struct Project;

constexpr std::string_view kBuiltinPrefix = "gm:";
constexpr std::string_view kBuiltinBankIncludeName = "gm";

// The bank's text, as shipped.
std::string_view builtinBankText();

// The bank, parsed once on first use.
const Project& builtinBank();

// The patch named "gm:NAME", or nullptr.
const player::PatchDescription* builtinPatch(std::string_view prefixedName);

// The bank's name (without prefix) of General MIDI program 0..127.
const std::string& generalMidiProgramName(int program);

}  // namespace zimblo::songc
