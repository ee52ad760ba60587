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
//
// A command that changes the host (a disk, a group, a tag, a file system) is made with the effect
// Changes and names what it changes through subject(); it runs only as a step (or an undo) of a
// plan whose subjects include every one of those names (core/Plan.h), and is refused before it
// runs otherwise:
//
//     CommandLine init(here, "vxdisk -f init", CommandLine::Effect::Changes);
//     init.subject(SubjectKind::Disk, da, "the disk");       // "vxdisk -f init emc0_0a1c"
#pragma once

#include <list>
#include <string>
#include <utility>
#include <vector>

#include "core/Origin.h"
#include "core/Plan.h"

namespace volbridge {

class CommandLine {
  public:
    // Whether running the command changes the host (Changes) or only reads it (Reads).
    enum class Effect { Reads, Changes };

    // Starts the line with `text`, written by the library.
    CommandLine(const Origin& at, std::string text, Effect effect = Effect::Reads);

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

    // Appends a blank and `value`, under the check of word(), as the name of something the
    // command changes: when the command changes the host, `value` must be a subject of kind
    // `kind` of the plan being carried out when it runs.
    CommandLine& subject(SubjectKind kind, const std::string& value, const char* what,
                         int line = __builtin_LINE());
    // The same with nothing before `value` ("-o tag=" + tag, "dmpnodename=" + name).
    CommandLine& subjectArg(SubjectKind kind, const std::string& value, const char* what,
                            int line = __builtin_LINE());

    const std::string& text() const { return text_; }
    const Origin& origin() const { return at_; }
    bool changesHost() const { return effect_ == Effect::Changes; }
    // What the command names as changed, in order.
    const std::vector<std::pair<SubjectKind, std::string>>& subjects() const { return subjects_; }

    // A line an operator wrote into a trusted marker file (a diagnostic command), run as the
    // operator wrote it.
    static CommandLine fromOperator(const Origin& at, const std::string& line);

  private:
    Origin at_;
    std::string text_;
    Effect effect_;
    std::vector<std::pair<SubjectKind, std::string>> subjects_;
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
// and both output streams. A command that changes the host is first held against the plan being
// carried out on this thread (actingPlan()): when there is none, or when something the command
// names as changed is not a subject of it, it throws YbException from the command's origin,
// naming the command and what it would change, and nothing runs.
CommandResult run(const CommandLine& cmd, OutputInLog output = OutputInLog::Shown);

// The plan whose steps (or undo actions) are being carried out on this thread, or null: set by
// Operation::act for its duration; a nested operation's plan stands for its own act.
const Plan* actingPlan();

// Sets the acting plan for the object's lifetime, then puts the one before it back.
class ActingPlan {
  public:
    explicit ActingPlan(const Plan* plan);
    ~ActingPlan();
    ActingPlan(const ActingPlan&) = delete;
    ActingPlan& operator=(const ActingPlan&) = delete;

  private:
    const Plan* previous_;
};

}  // namespace volbridge
