// What the song compiler's fuzz targets share: a project with the example
// patches (named so that scores can select them), and the rule for what a
// reader may do with bad input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "fuzz_songs.h"
#include "project.h"
#include "song_events.h"

namespace zimblo::fuzz {

inline songc::Project exampleProject() {
    songc::Project project;
    project.displayName = "fuzz.toml";
    project.patches = examplePatches();
    project.patchNames = {"lead", "bass", "pad", "drums", "wild"};
    project.effectBlock = exampleEffectBlock();
    project.texts = {exampleLyrics()[0]};
    return project;
}

// Bad input must end in InputError (or IoError for a file that cannot be
// read), which the command turns into one line and exit status 2 (or 1). Any
// other exception is a fault of the reader: its message would be reported as
// an I/O failure, and some (std::length_error, std::bad_alloc) mean the input
// was never bounded.
template <typename Body>
void expectOnlyInputErrors(Body&& body) {
    try {
        body();
    } catch (const songc::InputError&) {
    } catch (const songc::IoError&) {
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bad input escaped as another exception: %s\n", e.what());
        std::abort();
    }
}

}  // namespace zimblo::fuzz
