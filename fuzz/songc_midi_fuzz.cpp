// The song compiler on an arbitrary MIDI file: the chunk check, the import
// and the whole compile of a project whose only source the file is, once
// without and once with the file's tempo map.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "compiler.h"
#include "midi_import.h"
#include "songc_support.h"

using namespace zimblo;

namespace {

std::string scratchPath() {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/zimblo-midi-fuzz-" +
           std::to_string(getpid()) + ".mid";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = scratchPath();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size != 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);

    // Once placed at bar 2 in the song's tempo map, once bringing its own.
    for (const bool tempo : {false, true}) {
        songc::Project project = fuzz::exampleProject();
        songc::MidiSource source;
        source.settings = songc::defaultMidiSettings();
        source.settings.path = path;
        source.settings.displayName = "fuzz.mid";
        source.settings.tempo = tempo;
        source.at.bar = tempo ? 1 : 2;
        project.midi.push_back(source);
        fuzz::expectOnlyInputErrors([&] { songc::compileProject(project, {}); });
    }
    return 0;
}
