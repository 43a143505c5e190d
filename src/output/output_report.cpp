#include "output/output_report.h"

#include <errno.h>
#include <unistd.h>

namespace zimblo::output {

void reportToStandardError(void*, const char* line) {
    const std::string text = std::string(program_invocation_short_name) + ": " + line + "\n";
    const ssize_t ignored = write(STDERR_FILENO, text.data(), text.size());
    (void)ignored;
}

}  // namespace zimblo::output
