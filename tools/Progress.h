// What the operator sees on a terminal while an operation changes disks: one line at the bottom of
// standard error, rewritten in place with the step the library reports
//
//   [3/7] restoring the group metadata onto /dev/sdx
//
// and, when the operation ends, a last line with the time it took. Lines that come meanwhile (a
// --trace line, an error of the library's log) are printed above the rewritten line, which is
// then shown again.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "host/HostSeams.h"

namespace vbtool {

// The columns of the terminal on `fd`; 80 when it does not say.
size_t terminalColumns(int fd);

// "0.4 s", "12.3 s", "2 min 05 s"
std::string durationText(uint64_t ms);

// The one line kept at the bottom of a terminal. Nothing but "\r" and blanks is used to rewrite
// it, so that it works on any terminal; text is cut to the width, so that it never wraps.
class StatusLine {
  public:
    // Writes to `out` (standard error), a terminal `columns` wide.
    StatusLine(FILE* out, size_t columns);
    // A line still shown is cleared.
    ~StatusLine();
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // Replaces the line with `text` (control characters shown as \xNN).
    void show(const std::string& text);
    // Removes the line.
    void clear();
    // Writes `line` and a line break above the status line, which stays as it was.
    void print(const std::string& line);

  private:
    void write(const std::string& bytes);

    FILE* out_;
    size_t columns_;
    std::string shown_;      // the text on the line now
    size_t shownWidth_ = 0;  // in characters
};

// The library's progress on a status line: "[n/m] what" for each step of an operation, and a last
// line "<operation>: done in 4.2 s", or "<operation>: failed after 1.3 s, at step n of m (what)".
class TerminalProgress : public vbhost::ProgressSink {
  public:
    explicit TerminalProgress(StatusLine& line) : line_(line) {}

    void step(const std::string& operation, size_t n, size_t total,
              const std::string& what) override;
    void finished(const std::string& operation, bool ok, uint64_t ms) override;

  private:
    StatusLine& line_;
    size_t n_ = 0;
    size_t total_ = 0;
    std::string what_;
};

// The library's log on standard error, printed above the status line.
class StatusLineLogSink : public vbhost::LogSink {
  public:
    explicit StatusLineLogSink(StatusLine& line) : line_(line) {}
    void write(const std::string& record) override { line_.print(record); }

  private:
    StatusLine& line_;
};

}  // namespace vbtool
