// OutputReport: where the output layer says what went wrong while it plays
// (a lost sound device, a capture that stopped): one line per event.
//
// The default writes "PROGRAM: LINE\n" to standard error in one write, PROGRAM
// being the running program's name; tests and other owners put their own
// function in. Lines are ready to print: user-supplied values in them are
// escaped already.
#pragma once

#include <string>

namespace zimblo::output {

using ReportFunction = void (*)(void* context, const char* line);

void reportToStandardError(void* context, const char* line);

struct OutputReport {
    ReportFunction function = reportToStandardError;
    void* context = nullptr;

    void operator()(const std::string& line) const { function(context, line.c_str()); }
};

}  // namespace zimblo::output
