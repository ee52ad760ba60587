// The host's two logging channels: the global writer `g_ptrLogWriter` and `EvDebug` objects.
//
// A message of level L >= 0 is written when the writer's current level is at least L; level -1
// marks an error and is always written. Formatting is skipped for a message that is not written.
// Every written line carries the time, the level, the function and the source line.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdarg>
#include <cstdint>
#include <string>
#include <type_traits>

#include "host/HostExport.h"

namespace vbhost {
class ScopedLogSink;
}

class VBHOST_API YbLogWriter {
  public:
    YbLogWriter();

    // The current level: set by setLogLevel, else from the configuration ([host] log_level or
    // VOLBRIDGE_LOG_LEVEL), else 0.
    int getLogLevel() const;
    void setLogLevel(int level);
    // Forget a level set by setLogLevel and follow the configuration again.
    void resetLogLevel();
    bool isEnabled(int level) const { return level < 0 || getLogLevel() >= level; }

    void log(int level, const char* func, int line, int, int, const char* fmt, ...)
        __attribute__((format(printf, 7, 8)));
    void vlog(int level, const char* func, int line, const char* fmt, va_list args)
        __attribute__((format(printf, 5, 0)));
    // Writes an already formatted message (no level test: callers test isEnabled first).
    void write(int level, const char* func, int line, const std::string& message);

  private:
    friend class vbhost::ScopedLogSink;
    bool levelSet_;
    int level_;
};

extern VBHOST_API boost::shared_ptr<YbLogWriter> g_ptrLogWriter;

namespace vbhost {
namespace logfmt {

// What a log argument is after the default argument promotions, as far as a printf conversion
// can tell: 32- or 64-bit integer, double, character string, other pointer.
enum class ArgKind : unsigned char { Int32, Int64, Double, String, Pointer };

template <class T>
constexpr ArgKind kindOf() {
    using U = std::decay_t<T>;
    static_assert(std::is_arithmetic_v<U> || std::is_pointer_v<U> || std::is_enum_v<U> ||
                      std::is_null_pointer_v<U>,
                  "log arguments must be numbers, enums or pointers: pass a std::string with "
                  "%s and .c_str()");
    if constexpr (std::is_floating_point_v<U>) {
        return ArgKind::Double;
    } else if constexpr (std::is_pointer_v<U> || std::is_null_pointer_v<U>) {
        using P = std::remove_cv_t<std::remove_pointer_t<U>>;
        return std::is_same_v<P, char> ? ArgKind::String : ArgKind::Pointer;
    } else if constexpr (std::is_enum_v<U>) {
        return sizeof(std::underlying_type_t<U>) > 4 ? ArgKind::Int64 : ArgKind::Int32;
    } else {
        return sizeof(U) > 4 ? ArgKind::Int64 : ArgKind::Int32;
    }
}

// The value as it travels through "...": enums as their underlying type, the rest unchanged.
template <class T>
auto pass(const T& v) {
    if constexpr (std::is_enum_v<T>) {
        return static_cast<std::underlying_type_t<T>>(v);
    } else {
        return v;
    }
}

// Formats with printf rules after checking that the conversions of `fmt` match the kinds of the
// arguments; on a mismatch the format text is written as it stands, with a note, so that a wrong
// log call can never read past its arguments.
VBHOST_API std::string formatChecked(const char* fmt, const ArgKind* kinds, size_t count, ...);

}  // namespace logfmt
}  // namespace vbhost

// Per-call debug object. Debug writes at level 2, Error at level -1 (always), DebugLvl at the
// level given. The source line of the call is captured with the format text.
class VBHOST_API EvDebug {
  public:
    // The format text of a message together with the line of the call that passed it.
    struct Fmt {
        Fmt(const char* text, int line = __builtin_LINE()) : text(text), line(line) {}
        const char* text;
        int line;
    };

    explicit EvDebug(const void* fileInstance = nullptr);

    template <class... A>
    void Debug(const char* func, Fmt fmt, const A&... args) {
        emit(2, func, fmt, args...);
    }
    template <class... A>
    void Error(const char* func, Fmt fmt, const A&... args) {
        emit(-1, func, fmt, args...);
    }
    template <class... A>
    void DebugLvl(const char* func, int level, Fmt fmt, const A&... args) {
        emit(level, func, fmt, args...);
    }
    template <class... A>
    void debug(Fmt fmt, const A&... args) {
        emit(2, "", fmt, args...);
    }

    int getDebugLevel() const;
    int64_t getJobId() const;
    // A named pause point for investigations: while the file "/tmp/" + name exists, the call
    // waits (polling once a second through the host clock).
    void debugWait(const char* name);

  private:
    template <class... A>
    void emit(int level, const char* func, Fmt fmt, const A&... args) {
        if (!g_ptrLogWriter->isEnabled(level)) return;
        using vbhost::logfmt::ArgKind;
        constexpr size_t n = sizeof...(A);
        const ArgKind kinds[n + 1] = {vbhost::logfmt::kindOf<A>()..., ArgKind::Int32};
        g_ptrLogWriter->write(
            level, func, fmt.line,
            vbhost::logfmt::formatChecked(fmt.text, kinds, n, vbhost::logfmt::pass(args)...));
    }
};
