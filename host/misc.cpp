// Clock and sleeping, the progress sink, the LVM2 label checksum, and the FXString helpers.
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <ctime>
#include <mutex>

#include "host/FXString.h"
#include "host/HostSeams.h"
#include "host/WmSleep.h"
#include "host/yb_crc32.h"

namespace vbhost {

Clock::~Clock() = default;

namespace {

class SystemClock : public Clock {
  public:
    void sleepMs(uint64_t milliseconds) override {
        struct timespec left;
        left.tv_sec = static_cast<time_t>(milliseconds / 1000);
        left.tv_nsec = static_cast<long>((milliseconds % 1000) * 1000000);
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
    uint64_t nowMs() override {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<uint64_t>(ts.tv_sec) * 1000 +
               static_cast<uint64_t>(ts.tv_nsec) / 1000000;
    }
};

Clock* g_clock = nullptr;  // null: the system clock

}  // namespace

Clock& systemClock() {
    static SystemClock* clock = new SystemClock;
    return *clock;
}

Clock& currentClock() { return g_clock ? *g_clock : systemClock(); }

void FakeClock::sleepMs(uint64_t milliseconds) {
    sleeps_.push_back(milliseconds);
    now_ += milliseconds;
}

ScopedClock::ScopedClock(Clock& clock) : previous_(g_clock) { g_clock = &clock; }

ScopedClock::~ScopedClock() { g_clock = previous_; }

ProgressSink::~ProgressSink() = default;

namespace {
ProgressSink* g_progress = nullptr;
}  // namespace

ProgressSink* currentProgress() { return g_progress; }

ScopedProgress::ScopedProgress(ProgressSink& sink) : previous_(g_progress) { g_progress = &sink; }

ScopedProgress::~ScopedProgress() { g_progress = previous_; }

PlanSink::~PlanSink() = default;

namespace {
PlanSink* g_planSink = nullptr;
}  // namespace

PlanSink* currentPlanSink() { return g_planSink; }

ScopedCheckOnly::ScopedCheckOnly(PlanSink& sink) : previous_(g_planSink) { g_planSink = &sink; }

ScopedCheckOnly::~ScopedCheckOnly() { g_planSink = previous_; }

}  // namespace vbhost

void WMSLEEP_InTeRnAl(unsigned long milliseconds, const char* /*file*/, int /*line*/) {
    vbhost::currentClock().sleepMs(milliseconds);
}

void yb_crc32(const void* data, unsigned long length, unsigned int* crc) {
    // zlib inverts the running value before and after; LVM2's label checksum does neither.
    const Bytef* p = static_cast<const Bytef*>(data);
    uLong value = ~static_cast<uLong>(*crc) & 0xffffffffUL;
    while (length > 0) {
        uInt chunk = static_cast<uInt>(std::min<unsigned long>(length, 1UL << 30));
        value = crc32(value, p, chunk);
        p += chunk;
        length -= chunk;
    }
    *crc = static_cast<unsigned int>(~value & 0xffffffffUL);
}

namespace {

template <class Container>
void splitInto(const std::string& text, const std::string& sep, Container& out, int flags) {
    auto add = [&](std::string field) {
        if (!field.empty() || flags != FXString::DROP_EMPTY) out.push_back(std::move(field));
    };
    if (sep.empty()) {
        add(text);
        return;
    }
    size_t start = 0;
    for (;;) {
        size_t at = text.find(sep, start);
        if (at == std::string::npos) {
            add(text.substr(start));
            return;
        }
        add(text.substr(start, at - start));
        start = at + sep.size();
    }
}

}  // namespace

void FXString::Split(const std::string& text, const std::string& sep, std::list<std::string>& out,
                     int flags) {
    splitInto(text, sep, out, flags);
}

void FXString::Split(const std::string& text, const std::string& sep, std::vector<std::string>& out,
                     int flags) {
    splitInto(text, sep, out, flags);
}

std::string& FXString::Trim(std::string& s, const char* chars) {
    if (!chars) chars = " \t";
    size_t first = s.find_first_not_of(chars);
    if (first == std::string::npos) {
        s.clear();
        return s;
    }
    size_t last = s.find_last_not_of(chars);
    s = s.substr(first, last - first + 1);
    return s;
}

bool FXString::MatchLeft(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

int FXString::ReplaceAll(std::string& s, const std::string& from, const std::string& to,
                         int /*flags*/) {
    if (from.empty()) return 0;
    int count = 0;
    size_t at = 0;
    while ((at = s.find(from, at)) != std::string::npos) {
        s.replace(at, from.size(), to);
        at += to.size();
        ++count;
    }
    return count;
}

std::string& FXString::ToLower(std::string& s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}
