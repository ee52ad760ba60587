// Building and running the shell command lines the backends send to the volume managers.
//
// A command line is built from text the library itself wrote (program names, options,
// redirections, awk programs) and from values that come from outside: caller arguments, names
// read from captured metadata, names taken from tool output. Every outside value goes in through
// word() or arg(), which refuse a value that the shell would interpret, so the check cannot be
// forgotten; the text of the command is byte for byte what the concatenation would give.
//
//     const Origin here{"LVM_vxvm::rmGroup", unit::kVxvm};
//     CommandLine cmd(here, "vxdg destroy");
//     cmd.word(vg_name, "the disk group name");             // "vxdg destroy datadg"
//     CommandResult r = run(cmd);
//     if (!r.succeeded()) here.fail("Error: cmd: '" + cmd.text() + "' failed ...");
#pragma once

#include <list>
#include <string>

#include "core/Origin.h"

namespace volbridge {

class CommandLine {
  public:
    // Starts the line with `text`, written by the library.
    CommandLine(const Origin& at, std::string text);

    // Appends a blank and `value`. Throws YbException (the origin's function and unit, the line
    // of the call) naming `what` and the value when the value is not a shell word (see
    // ShellWord.h); nothing has run at that point.
    CommandLine& word(const std::string& value, const char* what, int line = __builtin_LINE());
    // Appends `value` with nothing before it (for "dmpnodename=" + name, a path built from a
    // prefix, ...), under the same check.
    CommandLine& arg(const std::string& value, const char* what, int line = __builtin_LINE());
    // Appends the values joined by `separator` (text written by the library, such as ";" inside
    // double quotes), each value under the same check.
    CommandLine& joined(const std::list<std::string>& values, const std::string& separator,
                        const char* what, int line = __builtin_LINE());
    // Appends text written by the library, as it stands: options, redirections, awk programs,
    // or options built only from values that already passed the check.
    CommandLine& literal(const std::string& text);

    const std::string& text() const { return text_; }

    // A line an operator wrote into a trusted marker file (a diagnostic command), run as the
    // operator wrote it.
    static CommandLine fromOperator(const Origin& at, const std::string& line);

  private:
    Origin at_;
    std::string text_;
};

struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;

    // Exit status 0.
    bool succeeded() const { return status == 0; }
    // Exit status 0 and nothing on standard error (the GPFS tools report some failures only
    // there).
    bool succeededQuietly() const { return status == 0 && err.empty(); }
};

// Whether the host's debug log may show the command's output.
enum class OutputInLog { Shown, Withheld };

// Runs the line through the host command runner (YbProcess::system) and returns its exit status
// and both output streams.
CommandResult run(const CommandLine& cmd, OutputInLog output = OutputInLog::Shown);

}  // namespace volbridge
