// The options every subcommand of the tool shares, and the host-service replacements they install
// for the length of one run: the configuration file, the log file, the log level, the command
// trace and the progress line.
#pragma once

#include <optional>
#include <string>

#include "Progress.h"
#include "host/HostSeams.h"

namespace vbtool {

struct HostOptions {
    std::optional<int> logLevel;
    std::string logFile;
    std::string configFile;
    bool trace = false;
    bool quiet = false;  // no progress line
};

// Runs every command through the runner that was in place when it was installed (the real one,
// unless a test installed another) and writes one line for it on standard error:
//   + [<command>] exited with <status> after <n> ms
// (control characters of the command shown as \xNN, so that each command stays on one line).
class TraceRunner : public vbhost::CommandRunner {
  public:
    // Commands go to `inner`.
    void setRunner(vbhost::CommandRunner& inner) { inner_ = &inner; }
    // From now on, lines go above `line` (when it is not null).
    void setStatusLine(StatusLine* line) { line_ = line; }
    int run(const std::string& cmd, std::string* out, std::string* err, int reserved,
            bool quiet) override;

  private:
    vbhost::CommandRunner* inner_ = &vbhost::systemRunner();
    StatusLine* line_ = nullptr;
};

// The command as a trace line shows it.
std::string traceText(const std::string& cmd);

// Installs what the options ask for; everything is put back when the object goes.
//
// The library's log: at the level --log-level gives; without it, only errors when the log goes to
// standard error (the tool's own message says what failed), and the configured level (default 0)
// when it goes to a file (--log-file, or the configuration's).
//
// Progress: when `reportsProgress` (the subcommand changes disks and prints no JSON), standard
// error is a terminal and --quiet is not given, the library's steps are shown on a status line
// (see Progress.h), with the trace and the library's log printed above it.
class HostSetup {
  public:
    // Throws UsageError for a configuration file that cannot be read or parsed, or a log file
    // that cannot be opened.
    explicit HostSetup(const HostOptions& options, bool reportsProgress = false);
    ~HostSetup();
    HostSetup(const HostSetup&) = delete;
    HostSetup& operator=(const HostSetup&) = delete;

  private:
    std::optional<vbhost::ScopedConfig> config_;
    std::optional<vbhost::FileLogSink> sink_;
    std::optional<StatusLine> statusLine_;
    std::optional<TerminalProgress> progress_;
    std::optional<vbhost::ScopedProgress> progressGuard_;
    std::optional<StatusLineLogSink> terminalSink_;
    std::optional<vbhost::ScopedLogSink> sinkGuard_;
    TraceRunner tracer_;
    std::optional<vbhost::ScopedRunner> runnerGuard_;
};

}  // namespace vbtool
