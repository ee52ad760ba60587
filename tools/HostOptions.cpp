#include "HostOptions.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ToolSupport.h"
#include "host/LogWriter.h"

namespace vbtool {

std::string traceText(const std::string& cmd) {
    std::string shown;
    for (unsigned char c : cmd) {
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            shown += hex;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

int TraceRunner::run(const std::string& cmd, std::string* out, std::string* err, int reserved,
                     bool quiet) {
    const uint64_t started = vbhost::currentClock().nowMs();
    const int status = inner_->run(cmd, out, err, reserved, quiet);
    const unsigned long long elapsed = vbhost::currentClock().nowMs() - started;
    const std::string line = "+ [" + traceText(cmd) + "] exited with " + std::to_string(status) +
                             " after " + std::to_string(elapsed) + " ms";
    if (line_) {
        line_->print(line);
    } else {
        fprintf(stderr, "%s\n", line.c_str());
        fflush(stderr);
    }
    return status;
}

HostSetup::HostSetup(const HostOptions& options, bool reportsProgress) {
    if (!options.configFile.empty()) {
        auto config = vbhost::IniConfig::fromFile(options.configFile);
        if (!config->problem().empty()) {
            throw UsageError(config->problem());
        }
        config_.emplace(config);
    }
    if (!options.logFile.empty()) {
        sink_.emplace(options.logFile);
        if (!sink_->isOpen()) {
            throw UsageError("cannot open the log file " + options.logFile + ": " +
                             strerror(sink_->error()));
        }
        sinkGuard_.emplace(*sink_);
    }
    const bool logOnStderr = options.logFile.empty() && vbhost::hostSettings().logFile.empty();
    if (options.logLevel) {
        g_ptrLogWriter->setLogLevel(*options.logLevel);
    } else if (logOnStderr) {
        g_ptrLogWriter->setLogLevel(-1);
    }
    if (reportsProgress && !options.quiet && isatty(STDERR_FILENO)) {
        statusLine_.emplace(stderr, terminalColumns(STDERR_FILENO));
        progress_.emplace(*statusLine_);
        progressGuard_.emplace(*progress_);
        tracer_.setStatusLine(&*statusLine_);
        if (logOnStderr) {
            terminalSink_.emplace(*statusLine_);
            sinkGuard_.emplace(*terminalSink_);
        }
    }
    if (options.trace) {
        tracer_.setRunner(vbhost::currentRunner());
        runnerGuard_.emplace(tracer_);
    }
}

HostSetup::~HostSetup() { g_ptrLogWriter->resetLogLevel(); }

}  // namespace vbtool
