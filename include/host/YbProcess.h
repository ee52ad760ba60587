// The host's command runner.
#pragma once

#include <string>

#include "host/HostExport.h"

class VBHOST_API YbProcess {
  public:
    // Runs `cmd` through "/bin/sh -c" with standard input from /dev/null and LC_ALL=C, waits for
    // it and returns its exit status (128 + signal number for a child killed by a signal, -1 when
    // it could not be started). Standard output and standard error are captured into `out` and
    // `err` (either may be null). `reserved` is always 0. `quiet` keeps the command's output out
    // of the debug log.
    static int system(const char* cmd, std::string* out, std::string* err, int reserved,
                      bool quiet);
};
