// One operation of a backend: its name and source unit (where its failures come from), the
// commands it runs and the rules its backend judges and words them by (core/CommandRules.h), its
// log lines, its step hooks, and, for an operation that changes disks, groups, tags or file
// systems, the plan it carries out and what each step of it changed.
//
// Every such operation reads as three phases:
//
//   check   everything the operation will use is checked, under the host's import lock, before
//           the first command that changes anything: caller arguments, names read from captured
//           metadata, the map, tool output, device paths, the temp directory and every file name
//           it will write. It returns a plan (core/Plan.h): each disk, group, tag, file system,
//           record and file the operation will change, with the evidence, and the steps;
//   act     the steps, each recording in the operation's undo list what it changed; a command
//           that changes the host runs only when everything it names as changed is a subject of
//           the plan;
//   result  the record or verdict handed back.
//
//     volbridge::Operation op("LVM_vxvm::recreateVG", volbridge::unit::kVxvm);
//     Plan plan = checkClone(op, ...);        // check: throws, nothing changed
//     if (!op.act(plan)) return {};           // the host asked for the plan only
//     return describe(op, plan);              // result
//
// A step that changes something records how to undo it right after the change succeeded:
//
//     op.mustRun(settag);
//     op.changed("the tag " + tag + " on " + disk, [&] { op.mustRun(rmtag); });
//
// and a change that cannot be undone says how the operator finishes the work instead:
//
//     op.permanent("the re-initialisation of /dev/sdx as PV " + id,
//                  "it stays; running the same import again finishes the work");
//
// When a step fails, act() undoes what was recorded, newest first, and only that: never a group,
// disk or file system the call did not make or change itself. An undo that fails, and a change
// that cannot be undone, is named in the log at level 0 ("Could not undo ...") and never replaces
// the first error, which act() throws again. The operator can then see exactly what is left.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/Command.h"
#include "core/CommandRules.h"
#include "core/Origin.h"
#include "core/Plan.h"
#include "host/LogWriter.h"

namespace volbridge {

class Operation {
  public:
    Operation(const char* func, const char* unit);
    explicit Operation(const Origin& origin);
    ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    const Origin& origin() const { return origin_; }
    const char* func() const { return origin_.func; }
    const char* unit() const { return origin_.unit; }

    // ---- failures ----

    // Throws YbException(func, message, unit, line, err).
    [[noreturn]] void fail(const std::string& message, int line = __builtin_LINE(),
                           int err = -1) const {
        origin_.fail(message, line, err);
    }

    // ---- commands ----

    // A command line of this operation that reads the host: every outside value goes in through
    // word() or arg(), whose refusal names this operation.
    CommandLine command(std::string text) const { return CommandLine(origin_, std::move(text)); }
    // A command line that changes the host: what it changes goes in through subject(), and it
    // runs only as a step of this operation's plan that has those subjects (see Command.h).
    CommandLine change(std::string text) const {
        return CommandLine(origin_, std::move(text), CommandLine::Effect::Changes);
    }

    // The rules of this operation's backend.
    const CommandRules& rules() const { return rules_; }

    // Runs the line and returns its exit status and output; the caller judges the outcome (a run
    // whose failure is tolerated or handled on the spot).
    CommandResult run(const CommandLine& cmd, OutputInLog output = OutputInLog::Shown) const;

    // Runs the line; when it fails, logs its exit status at level 0 and throws the library's
    // failure text for it (failureText). Returns the result of a run that succeeded. A command
    // fails when its exit status is not 0; for the GPFS backend also when it wrote anything on
    // standard error, unless `stderrText` is Tolerated (the status alone counts then, and the
    // text is logged).
    enum class StderrText { Backend, Tolerated };
    CommandResult mustRun(const CommandLine& cmd, int line = __builtin_LINE()) const;
    CommandResult mustRun(const CommandLine& cmd, StderrText stderrText,
                          int line = __builtin_LINE()) const;
    // The same, but the failure reads `sentence` + ": " + the cause standard error gives (the
    // LVM2 backend's messages: "Failed to re-initialize PV /dev/sdb: ...").
    CommandResult mustRun(const CommandLine& cmd, const std::string& sentence,
                          int line = __builtin_LINE()) const;

    // Whether `r` counts as a success of this backend's commands.
    bool succeeded(const CommandResult& r) const;

    // The library's failure text for a command, in this backend's words (CommandRules.h).
    std::string failureText(const CommandLine& cmd, const CommandResult& r) const;

    // Runs a command whose failure the operation goes on after; a failure is logged at `level`
    // in this backend's words (CommandRules.h: VxVM's line takes `severity` and `after`).
    CommandResult runTolerating(const CommandLine& cmd, int level, const char* severity = "Info",
                                const char* after = "") const;
    void tolerate(const CommandLine& cmd, const CommandResult& r, int level,
                  const char* severity = "Info", const char* after = "") const;

    // ---- log ----

    // Logs the failure text of a command (failureText) at `level`, an error by default: a
    // failure handled on the spot, or logged before it is thrown.
    void logFailure(const CommandLine& cmd, const CommandResult& r, int level = -1,
                    int line = __builtin_LINE()) const {
        EvDebug(nullptr).DebugLvl(origin_.func, level, EvDebug::Fmt("%s", line),
                                  failureText(cmd, r).c_str());
    }

    // A line of the host log at `level` (-1: an error, always written), with this operation's
    // name and the caller's source line.
    template <class... A>
    void log(int level, EvDebug::Fmt fmt, const A&... args) const {
        EvDebug(nullptr).DebugLvl(origin_.func, level, fmt, args...);
    }
    template <class... A>
    void error(EvDebug::Fmt fmt, const A&... args) const {
        EvDebug(nullptr).Error(origin_.func, fmt, args...);
    }

    // ---- step hooks ----

    // The operator's step hook `name` (see stepHook in core/StepHook.h): nothing unless its
    // marker exists.
    void hook(const char* name) const;

    // ---- act ----

    using Step = Plan::Step;

    // Carries out the plan: runs its steps in order, with the plan as the one whose subjects the
    // commands that change the host may name. Each step is reported to the host's progress sink
    // ("[n/m] what") when this is the outermost operation running, and logged at level 2. When a
    // step throws, undoes what this operation recorded (undoChanges) and throws the step's error
    // again. Returns true.
    //
    // While the host asks for plans only (vbhost::ScopedCheckOnly), runs nothing: the outermost
    // operation hands the plan to the host's plan sink, and act() returns false.
    bool act(Plan& plan);
    // Runs the steps in order, as act(Plan&) does, under the plan being carried out already (a
    // part of a larger operation) or none.
    void act(const std::vector<Step>& steps);
    // One step of its own, when the operation has a single one.
    void act(const std::string& what, const std::function<void()>& run) { act({{what, run}}); }

    // Whether the host asks for plans only (vbhost::ScopedCheckOnly).
    static bool checkingOnly();

    // Records a change this operation made and how to undo it. Undo actions run newest first.
    void changed(std::string what, std::function<void()> undo);
    // Records a change that cannot be undone, and how the operator finishes the work: on a
    // failure the log names it at level 0, "Could not undo <what>: <how to finish>".
    void permanent(std::string what, std::string howToFinish);
    // Drops the record of a change that a later step made permanent (or undid itself).
    void forget(const std::string& what);
    // What the operation recorded and has not undone, oldest first.
    std::vector<std::string> changes() const;

    // Undoes every recorded change, newest first; an undo that throws, and a permanent change, is
    // logged at level 0 as "Could not undo <what>: <reason>". Returns the names of the changes
    // that could not be undone. The record is empty afterwards.
    std::vector<std::string> undoChanges();

    // Runs `body` for an operation that reports failure by returning false: a YbException from it
    // (after act() undid what it could) is logged as an error under this operation's name and
    // gives false (and, while the host asks for plans only, goes to its plan sink as the refusal).
    bool falseOnFailure(const std::function<bool()>& body);

  private:
    struct Change {
        std::string what;
        std::function<void()> undo;  // empty: permanent
        std::string howToFinish;
    };

    void runSteps(const std::vector<Step>& steps);

    Origin origin_;
    const CommandRules& rules_;
    std::vector<Change> changes_;
    bool outermost_;
    int uncaught_ = 0;
    bool failed_ = false;
    uint64_t started_ = 0;
    bool reported_ = false;
};

}  // namespace volbridge
