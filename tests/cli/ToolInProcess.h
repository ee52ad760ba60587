// Running the tool's own code inside a test program: its main() is compiled under another name
// and linked with the library's internal view, so that what a test installs (the fake runner and
// its captured output, the backends' directory settings, the log sink, the clock) is what the
// tool's operations use. The tool's standard output and standard error are captured.
#pragma once

#include <string>
#include <vector>

namespace vbtest {

struct InProcessRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs "volbridge" with `args`, each one word of the command line.
InProcessRun runToolInProcess(const std::vector<std::string>& args);

}  // namespace vbtest
