#include "HostOptions.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ToolSupport.h"
#include "host/LogWriter.h"

namespace vbtool {

namespace {

void writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace

FileLogSink::FileLogSink(const std::string& path)
    : fd_(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640)) {
    if (fd_ < 0) throw UsageError("cannot open the log file " + path + ": " + strerror(errno));
}

FileLogSink::~FileLogSink() { ::close(fd_); }

void FileLogSink::write(const std::string& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    writeAll(fd_, record + "\n");
}

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
    const int status = vbhost::systemRunner().run(cmd, out, err, reserved, quiet);
    const unsigned long long elapsed = vbhost::currentClock().nowMs() - started;
    writeAll(2, "+ [" + traceText(cmd) + "] exited with " + std::to_string(status) + " after " +
                    std::to_string(elapsed) + " ms\n");
    return status;
}

HostSetup::HostSetup(const HostOptions& options) {
    if (!options.configFile.empty()) {
        auto config = vbhost::IniConfig::fromFile(options.configFile);
        if (!config->problem().empty()) {
            throw UsageError(config->problem());
        }
        config_.emplace(config);
    }
    if (!options.logFile.empty()) {
        sink_.emplace(options.logFile);
        sinkGuard_.emplace(*sink_);
    }
    if (options.logLevel) g_ptrLogWriter->setLogLevel(*options.logLevel);
    if (options.trace) runnerGuard_.emplace(tracer_);
}

HostSetup::~HostSetup() { g_ptrLogWriter->resetLogLevel(); }

}  // namespace vbtool
