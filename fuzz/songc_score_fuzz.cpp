// The song compiler on arbitrary score text: read into events, ordered,
// checked against the format's limits, written and opened by the checked
// loader, in a project holding the example patches.
#include <cstdint>
#include <string>

#include "compiler.h"
#include "songc_support.h"

using namespace zimblo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const songc::Project project = fuzz::exampleProject();
    const std::string text(reinterpret_cast<const char*>(data), size);
    fuzz::expectOnlyInputErrors([&] { songc::compileProject(project, {songc::ScoreFile{"fuzz.score", text}}); });
    return 0;
}
