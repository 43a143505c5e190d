#include "app/console.h"

#include <unistd.h>

#include <cstring>

namespace zimblo::app {

namespace {
// Obtained once, used by every console write.
const int gStandardOutput = STDOUT_FILENO;
}  // namespace

void writeConsole(const char* text) {
    const ssize_t ignored = write(gStandardOutput, text, std::strlen(text));
    (void)ignored;
}

}  // namespace zimblo::app
