// The options every subcommand of the tool shares, and the host-service replacements they install
// for the length of one run: the configuration file, the log file, the log level and the command
// trace.
#pragma once

#include <optional>
#include <string>

#include "host/HostSeams.h"

namespace vbtool {

struct HostOptions {
    std::optional<int> logLevel;
    std::string logFile;
    std::string configFile;
    bool trace = false;
};

// Runs every command through the real runner and writes one line for it on standard error:
//   + [<command>] exited with <status> after <n> ms
// (control characters of the command shown as \xNN, so that each command stays on one line).
class TraceRunner : public vbhost::CommandRunner {
  public:
    int run(const std::string& cmd, std::string* out, std::string* err, int reserved,
            bool quiet) override;
};

// The command as a trace line shows it.
std::string traceText(const std::string& cmd);

// Installs what the options ask for; everything is put back when the object goes.
class HostSetup {
  public:
    // Throws UsageError for a configuration file that cannot be read or parsed, or a log file
    // that cannot be opened.
    explicit HostSetup(const HostOptions& options);
    ~HostSetup();
    HostSetup(const HostSetup&) = delete;
    HostSetup& operator=(const HostSetup&) = delete;

  private:
    std::optional<vbhost::ScopedConfig> config_;
    std::optional<vbhost::FileLogSink> sink_;
    std::optional<vbhost::ScopedLogSink> sinkGuard_;
    TraceRunner tracer_;
    std::optional<vbhost::ScopedRunner> runnerGuard_;
};

}  // namespace vbtool
