// The log writer, EvDebug, the log sinks and the checked formatter behind EvDebug.
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "core/Markers.h"
#include "host/HostSeams.h"
#include "host/LogWriter.h"
#include "host/WmSleep.h"
#include "host_internal.h"

namespace vbhost {

LogSink::~LogSink() = default;

namespace {

void writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere left to report a failing log
        p += n;
        left -= static_cast<size_t>(n);
    }
}

// Standard error, or the file named by the settings (opened on first use and again when the
// configuration changes).
class DefaultSink : public LogSink {
  public:
    void write(const std::string& record) override {
        std::lock_guard<std::mutex> lock(mutex_);
        unsigned generation = settingsGeneration();
        if (generation != generation_) {
            generation_ = generation;
            file_.reset();
            std::string path = hostSettings().logFile;
            if (!path.empty()) {
                file_ = std::make_unique<FileLogSink>(path);
                if (!file_->isOpen()) {
                    writeAll(2, "volbridge: cannot open log file " + path + ": " +
                                    strerror(file_->error()) + "; logging to standard error\n");
                    file_.reset();
                }
            }
        }
        if (file_) {
            file_->write(record);
        } else {
            writeAll(2, record + "\n");
        }
    }

  private:
    std::mutex mutex_;
    unsigned generation_ = 0;
    std::unique_ptr<FileLogSink> file_;
};

std::mutex& sinkMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

LogSink* g_sink = nullptr;  // null: the default sink

LogSink& defaultSink() {
    static DefaultSink* sink = new DefaultSink;  // never destroyed: used by late log calls
    return *sink;
}

LogSink& currentSink() {
    std::lock_guard<std::mutex> lock(sinkMutex());
    return g_sink ? *g_sink : defaultSink();
}

std::string timestamp() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char text[64];
    size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    snprintf(text + n, sizeof text - n, ".%03ld", static_cast<long>(tv.tv_usec / 1000));
    return text;
}

std::mutex& pendingMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}
std::string& pendingProblem() {
    static std::string* p = new std::string;
    return *p;
}

}  // namespace

void notePendingProblem(const std::string& problem) {
    std::lock_guard<std::mutex> lock(pendingMutex());
    pendingProblem() = problem;
}

void logHostProblem(const char* func, const std::string& message) {
    g_ptrLogWriter->write(-1, func, 0, message);
}

FileLogSink::FileLogSink(const std::string& path)
    : fd_(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640)),
      error_(fd_ < 0 ? errno : 0) {}

FileLogSink::~FileLogSink() {
    if (fd_ >= 0) ::close(fd_);
}

void FileLogSink::write(const std::string& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0) writeAll(fd_, record + "\n");
}

void MemoryLogSink::write(const std::string& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(record);
}

std::vector<std::string> MemoryLogSink::records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

bool MemoryLogSink::contains(const std::string& text) const { return count(text) > 0; }

size_t MemoryLogSink::count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const std::string& r : records_) {
        if (r.find(text) != std::string::npos) ++n;
    }
    return n;
}

void MemoryLogSink::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}

ScopedLogSink::ScopedLogSink(LogSink& sink)
    : setLevel_(false), previousLevel_(0), previousLevelSet_(false) {
    std::lock_guard<std::mutex> lock(sinkMutex());
    previous_ = g_sink;
    g_sink = &sink;
}

ScopedLogSink::ScopedLogSink(LogSink& sink, int level) : ScopedLogSink(sink) {
    setLevel_ = true;
    previousLevelSet_ = g_ptrLogWriter->levelSet_;
    previousLevel_ = g_ptrLogWriter->level_;
    g_ptrLogWriter->setLogLevel(level);
}

ScopedLogSink::~ScopedLogSink() {
    if (setLevel_) {
        g_ptrLogWriter->levelSet_ = previousLevelSet_;
        g_ptrLogWriter->level_ = previousLevel_;
    }
    std::lock_guard<std::mutex> lock(sinkMutex());
    g_sink = previous_;
}

namespace logfmt {

namespace {

// The argument kind a printf conversion consumes, or false for "%%". `length` is the length
// modifier seen ("hh", "h", "l", "ll", "j", "z", "t", "L" or "").
bool conversionKind(char conv, const std::string& length, ArgKind* kind, bool* valid) {
    *valid = true;
    bool wide = length == "l" || length == "ll" || length == "j" || length == "z" ||
                length == "t" || length == "q";
    switch (conv) {
        case '%':
            return false;
        case 'd':
        case 'i':
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            *kind = wide ? ArgKind::Int64 : ArgKind::Int32;
            return true;
        case 'c':
            *kind = ArgKind::Int32;
            *valid = length.empty();
            return true;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            *kind = ArgKind::Double;
            *valid = length.empty() || length == "l";
            return true;
        case 's':
            *kind = ArgKind::String;
            *valid = length.empty();
            return true;
        case 'p':
            *kind = ArgKind::Pointer;
            *valid = length.empty();
            return true;
        default:  // %n and anything unknown are refused
            *valid = false;
            return true;
    }
}

bool matches(ArgKind want, ArgKind have) {
    if (want == have) return true;
    return want == ArgKind::Pointer && have == ArgKind::String;
}

bool formatFits(const char* fmt, const ArgKind* kinds, size_t count) {
    size_t used = 0;
    for (const char* p = fmt; *p; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        while (*p && strchr("-+ #0'", *p)) ++p;
        for (int part = 0; part < 2; ++part) {  // width, then precision
            if (part == 1) {
                if (*p != '.') break;
                ++p;
            }
            if (*p == '*') {
                if (used >= count || kinds[used] != ArgKind::Int32) return false;
                ++used;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') ++p;
            }
        }
        std::string length;
        while (*p && strchr("hljztqL", *p)) length += *p++;
        if (!*p) return false;
        ArgKind kind;
        bool valid;
        if (!conversionKind(*p, length, &kind, &valid)) continue;
        if (!valid || used >= count || !matches(kind, kinds[used])) return false;
        ++used;
    }
    return used == count;
}

}  // namespace

std::string formatChecked(const char* fmt, const ArgKind* kinds, size_t count, ...) {
    if (!fmt) return std::string();
    if (!formatFits(fmt, kinds, count)) {
        return std::string(fmt) + " [log arguments do not match this format]";
    }
    va_list args;
    va_start(args, count);
    va_list again;
    va_copy(again, args);
    char small[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = vsnprintf(small, sizeof small, fmt, args);
    std::string text;
    if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
        text.assign(small, static_cast<size_t>(n));
    } else if (n >= 0) {
        text.resize(static_cast<size_t>(n) + 1);
        vsnprintf(&text[0], text.size(), fmt, again);
        text.resize(static_cast<size_t>(n));
    }
#pragma GCC diagnostic pop
    va_end(again);
    va_end(args);
    return text;
}

}  // namespace logfmt

}  // namespace vbhost

boost::shared_ptr<YbLogWriter> g_ptrLogWriter(new YbLogWriter);

YbLogWriter::YbLogWriter() : levelSet_(false), level_(0) {}

int YbLogWriter::getLogLevel() const {
    return levelSet_ ? level_ : vbhost::hostSettings().logLevel;
}

void YbLogWriter::setLogLevel(int level) {
    level_ = level;
    levelSet_ = true;
}

void YbLogWriter::resetLogLevel() { levelSet_ = false; }

void YbLogWriter::log(int level, const char* func, int line, int, int, const char* fmt, ...) {
    if (!isEnabled(level)) return;
    va_list args;
    va_start(args, fmt);
    vlog(level, func, line, fmt, args);
    va_end(args);
}

void YbLogWriter::vlog(int level, const char* func, int line, const char* fmt, va_list args) {
    if (!isEnabled(level)) return;
    va_list again;
    va_copy(again, args);
    char small[512];
    int n = vsnprintf(small, sizeof small, fmt ? fmt : "", args);
    std::string text;
    if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
        text.assign(small, static_cast<size_t>(n));
    } else if (n >= 0) {
        text.resize(static_cast<size_t>(n) + 1);
        vsnprintf(&text[0], text.size(), fmt, again);
        text.resize(static_cast<size_t>(n));
    }
    va_end(again);
    write(level, func, line, text);
}

void YbLogWriter::write(int level, const char* func, int line, const std::string& message) {
    std::string pending;
    {
        std::lock_guard<std::mutex> lock(vbhost::pendingMutex());
        pending.swap(vbhost::pendingProblem());
    }
    if (!pending.empty()) write(-1, "host configuration", 0, pending);

    std::string record = vbhost::timestamp();
    record += level < 0 ? " ERROR " : " L" + std::to_string(level) + " ";
    int64_t job = vbhost::hostSettings().jobId;
    if (job != 0) record += "job=" + std::to_string(job) + " ";
    record += (func && *func) ? func : "-";
    record += ":" + std::to_string(line) + ": " + message;
    vbhost::currentSink().write(record);
}

EvDebug::EvDebug(const void* /*fileInstance*/) {}

int EvDebug::getDebugLevel() const { return g_ptrLogWriter->getLogLevel(); }

int64_t EvDebug::getJobId() const { return vbhost::hostSettings().jobId; }

void EvDebug::debugWait(const char* name) {
    if (!name || !*name) return;
    std::string marker = std::string("/tmp/") + name;
    bool announced = false;
    while (volbridge::markerExists(marker)) {
        if (!announced) {
            Debug("EvDebug::debugWait", "Waiting while %s exists", marker.c_str());
            announced = true;
        }
        WMSLEEP(1000);
    }
}
