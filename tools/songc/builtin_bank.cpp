#include "builtin_bank.h"

#include <cstddef>
#include <cstdint>

#include "project.h"

namespace zimblo::songc {

// Generated at build time from tools/songc/bank/gm.toml.
extern const char kBuiltinBankToml[];
extern const size_t kBuiltinBankTomlSize;

std::string_view builtinBankText() { return std::string_view(kBuiltinBankToml, kBuiltinBankTomlSize); }

const Project& builtinBank() {
    static const Project bank = parseProject(std::string(builtinBankText()), "gm.toml (built-in bank)", {});
    return bank;
}

const player::PatchDescription* builtinPatch(std::string_view prefixedName) {
    if (prefixedName.substr(0, kBuiltinPrefix.size()) != kBuiltinPrefix) return nullptr;
    const std::string_view name = prefixedName.substr(kBuiltinPrefix.size());
    const Project& bank = builtinBank();
    for (size_t i = 0; i < bank.patches.size(); ++i)
        if (bank.patchNames[i] == name) return &bank.patches[i];
    for (const LibraryPatch& p : bank.library)
        if (p.name == name) return &p.description;
    return nullptr;
}

const std::string& generalMidiProgramName(int program) {
    const Project& bank = builtinBank();
    static const std::string kNone;
    if (program < 0 || static_cast<size_t>(program) >= bank.patchNames.size()) return kNone;
    return bank.patchNames[program];
}

}  // namespace zimblo::songc
