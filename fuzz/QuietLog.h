// For fuzz targets: the library's log records go nowhere while a target runs (the readers log
// what they read, and a fuzzer feeds them millions of inputs).
#pragma once

#include <string>

#include "host/HostSeams.h"

namespace vbfuzz {

class NullSink : public vbhost::LogSink {
  public:
    void write(const std::string&) override {}
};

// Installs the silent sink once, for the life of the process.
inline void silenceLog() {
    static NullSink sink;
    static vbhost::ScopedLogSink quiet(sink, 0);
}

}  // namespace vbfuzz
