// The replaceable implementations behind the host services.
//
// Each service (command runner, configuration, log sink, clock) has a real implementation that
// is used by default. A test or a program installs another one through a scoped guard that puts
// the previous one back on destruction, so nothing leaks from one test into the next. Guards
// nest; they are meant to be used from one thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/HostExport.h"

namespace vbhost {

// ---- command runner ----

class VBHOST_API CommandRunner {
  public:
    virtual ~CommandRunner();
    // Same contract as YbProcess::system.
    virtual int run(const std::string& cmd, std::string* out, std::string* err, int reserved,
                    bool quiet) = 0;
};

// The real runner: "/bin/sh -c", standard input from /dev/null, standard output and standard
// error drained together, no descriptor of the caller inherited by the child, LC_ALL=C.
VBHOST_API CommandRunner& systemRunner();
// The runner YbProcess::system uses now.
VBHOST_API CommandRunner& currentRunner();

class VBHOST_API ScopedRunner {
  public:
    explicit ScopedRunner(CommandRunner& runner);
    ~ScopedRunner();
    ScopedRunner(const ScopedRunner&) = delete;
    ScopedRunner& operator=(const ScopedRunner&) = delete;

  private:
    CommandRunner* previous_;
};

// ---- configuration ----

class VBHOST_API Config {
  public:
    virtual ~Config();
    // True when `key` exists in `section`; then `*value` holds its text.
    virtual bool get(const std::string& section, const std::string& key,
                     std::string* value) const = 0;
};

// Configuration read from an INI file: "[section]" lines, "key = value" lines, ";" or "#"
// comments. Section and key names are case-sensitive.
class VBHOST_API IniConfig : public Config {
  public:
    // A missing file gives an empty configuration (every lookup reports "not found"). A file that
    // cannot be parsed keeps what was read before the first bad line; `problem()` says why.
    static std::shared_ptr<IniConfig> fromFile(const std::string& path);
    static std::shared_ptr<IniConfig> fromString(const std::string& text);

    bool get(const std::string& section, const std::string& key, std::string* value) const override;
    // Empty, or a description of why the file was not read completely.
    const std::string& problem() const { return problem_; }
    void set(const std::string& section, const std::string& key, const std::string& value);

  private:
    std::map<std::string, std::map<std::string, std::string>> values_;
    std::string problem_;
};

// The configuration file: $VOLBRIDGE_CONFIG, default "/etc/volbridge/volbridge.conf".
VBHOST_API std::string configPath();
// The configuration in use now (read from configPath() on first use unless replaced).
VBHOST_API std::shared_ptr<const Config> currentConfig();
// Drop the configuration read so far; the next lookup reads the file again.
VBHOST_API void reloadConfig();

class VBHOST_API ScopedConfig {
  public:
    explicit ScopedConfig(std::shared_ptr<const Config> config);
    ~ScopedConfig();
    ScopedConfig(const ScopedConfig&) = delete;
    ScopedConfig& operator=(const ScopedConfig&) = delete;

  private:
    std::shared_ptr<const Config> previous_;
    bool hadPrevious_;
};

// The stand-in's own settings, from section [host] of the configuration, each overridden by an
// environment variable: log_level (VOLBRIDGE_LOG_LEVEL, default 0), log_file (VOLBRIDGE_LOG_FILE,
// default standard error), temp_dir (VOLBRIDGE_TMPDIR; empty when neither is set, and the temp
// directory is then the private "/tmp/volbridge-<euid>"), job_id (VOLBRIDGE_JOB_ID, default 0).
struct VBHOST_API HostSettings {
    int logLevel = 0;
    std::string logFile;
    std::string tempDir;
    int64_t jobId = 0;
};
VBHOST_API HostSettings hostSettings();

// ---- log sink ----

class VBHOST_API LogSink {
  public:
    virtual ~LogSink();
    // One formatted log record (without a trailing newline).
    virtual void write(const std::string& record) = 0;
};

// Keeps every record in memory; for tests.
class VBHOST_API MemoryLogSink : public LogSink {
  public:
    void write(const std::string& record) override;
    std::vector<std::string> records() const;
    // True when some record contains `text`.
    bool contains(const std::string& text) const;
    // The number of records that contain `text`.
    size_t count(const std::string& text) const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> records_;
};

// Appends each record, one per line, to a file (created when missing).
class VBHOST_API FileLogSink : public LogSink {
  public:
    explicit FileLogSink(const std::string& path);
    ~FileLogSink() override;
    FileLogSink(const FileLogSink&) = delete;
    FileLogSink& operator=(const FileLogSink&) = delete;

    // False when the file could not be opened; error() then holds the errno.
    bool isOpen() const { return fd_ >= 0; }
    int error() const { return error_; }
    void write(const std::string& record) override;

  private:
    std::mutex mutex_;
    int fd_;
    int error_;
};

// Installs a sink, and optionally a log level, for the guard's lifetime.
class VBHOST_API ScopedLogSink {
  public:
    explicit ScopedLogSink(LogSink& sink);
    ScopedLogSink(LogSink& sink, int level);
    ~ScopedLogSink();
    ScopedLogSink(const ScopedLogSink&) = delete;
    ScopedLogSink& operator=(const ScopedLogSink&) = delete;

  private:
    LogSink* previous_;
    bool setLevel_;
    int previousLevel_;
    bool previousLevelSet_;
};

// ---- clock ----

class VBHOST_API Clock {
  public:
    virtual ~Clock();
    virtual void sleepMs(uint64_t milliseconds) = 0;
    // Milliseconds on a monotonic scale.
    virtual uint64_t nowMs() = 0;
};

VBHOST_API Clock& systemClock();
VBHOST_API Clock& currentClock();

// A clock whose sleeps return at once and advance its own time; it records every sleep.
class VBHOST_API FakeClock : public Clock {
  public:
    void sleepMs(uint64_t milliseconds) override;
    uint64_t nowMs() override { return now_; }
    const std::vector<uint64_t>& sleeps() const { return sleeps_; }

  private:
    uint64_t now_ = 0;
    std::vector<uint64_t> sleeps_;
};

class VBHOST_API ScopedClock {
  public:
    explicit ScopedClock(Clock& clock);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

  private:
    Clock* previous_;
};

// ---- progress ----

// Where a disk-changing operation of the library reports the step it is at. Nothing is installed
// by default (the library then reports nothing); the command-line tool installs one that keeps a
// line on a terminal up to date.
class VBHOST_API ProgressSink {
  public:
    virtual ~ProgressSink();
    // Step `n` of `total` (counting from 1) of the operation `operation` ("LVM_linux_lvm::
    // recreateVG") begins; `what` says what the step does and to what ("restoring the group
    // metadata onto /dev/sdx").
    virtual void step(const std::string& operation, size_t n, size_t total,
                      const std::string& what) = 0;
    // The operation ended after `ms` milliseconds; `ok` is false when it failed.
    virtual void finished(const std::string& operation, bool ok, uint64_t ms) = 0;
};

// The sink installed now, or null.
VBHOST_API ProgressSink* currentProgress();

class VBHOST_API ScopedProgress {
  public:
    explicit ScopedProgress(ProgressSink& sink);
    ~ScopedProgress();
    ScopedProgress(const ScopedProgress&) = delete;
    ScopedProgress& operator=(const ScopedProgress&) = delete;

  private:
    ProgressSink* previous_;
};

// ---- check only ----

// One thing a disk-changing operation would change or create, and the evidence its check found.
struct VBHOST_API PlannedSubject {
    std::string kind;  // "disk", "group", "volume", "tag", "file system", "node", "record", "file"
    std::string name;
    std::string evidence;
};

// Where the disk-changing operations of the library hand their plan instead of carrying it out.
// While a sink is installed (ScopedCheckOnly), each such operation (clone import, revert, prepare,
// cancel, destroy, GPFS mount and unmount) runs its check phase for real — it reads the host and
// takes the host's import lock — and then, instead of its first step, hands its plan to the sink
// and ends: it changes nothing, writes no record and no file outside the private temp directory.
// An operation that returns a record then returns an empty one; one that returns bool returns
// true. A refusal is what it would be in a real run: a YbException, or false after an error log,
// which is also handed to the sink.
class VBHOST_API PlanSink {
  public:
    virtual ~PlanSink();
    // The outermost operation `operation` ("LVM_linux_lvm::recreateVG") would go ahead: what it
    // would change, each with its evidence, then its steps, in order.
    virtual void planned(const std::string& operation, const std::vector<PlannedSubject>& subjects,
                         const std::vector<std::string>& steps) = 0;
    // The operation refused in its check phase and reports it by returning false; `why` is the
    // error it logged.
    virtual void refused(const std::string& operation, const std::string& why) = 0;
};

// The sink installed now, or null (the operations act).
VBHOST_API PlanSink* currentPlanSink();

class VBHOST_API ScopedCheckOnly {
  public:
    explicit ScopedCheckOnly(PlanSink& sink);
    ~ScopedCheckOnly();
    ScopedCheckOnly(const ScopedCheckOnly&) = delete;
    ScopedCheckOnly& operator=(const ScopedCheckOnly&) = delete;

  private:
    PlanSink* previous_;
};

}  // namespace vbhost
