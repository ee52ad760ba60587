#include "core/Operation.h"

#include <algorithm>
#include <exception>

#include "core/StepHook.h"
#include "core/Text.h"
#include "host/HostSeams.h"
#include "host/YbException.h"

namespace volbridge {

namespace {

// Operations alive on this thread: only the outermost one reports progress (a clean-up that
// destroys a group, or a lookup at the end of a revert, runs as an operation of its own inside
// another).
thread_local int t_depth = 0;

std::string messageOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const YbException& e) {
        return e.getMessage();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
    }
    return "an unknown error";
}

}  // namespace

Operation::Operation(const char* func, const char* unit) : Operation(Origin{func, unit}) {}

Operation::Operation(const Origin& origin)
    : origin_(origin), rules_(commandRules(origin.unit)), outermost_(t_depth == 0) {
    ++t_depth;
    uncaught_ = std::uncaught_exceptions();
}

Operation::~Operation() {
    --t_depth;
    if (!reported_) return;
    vbhost::ProgressSink* sink = vbhost::currentProgress();
    if (!sink) return;
    const bool ok = !failed_ && std::uncaught_exceptions() == uncaught_;
    sink->finished(origin_.func, ok, vbhost::currentClock().nowMs() - started_);
}

CommandResult Operation::run(const CommandLine& cmd, OutputInLog output) const {
    return volbridge::run(cmd, output);
}

bool Operation::succeeded(const CommandResult& r) const { return rules_.succeeded(r); }

std::string Operation::failureText(const CommandLine& cmd, const CommandResult& r) const {
    return rules_.failure(cmd.text(), rules_.cause(r.err));
}

CommandResult Operation::runTolerating(const CommandLine& cmd, int level, const char* severity,
                                       const char* after) const {
    CommandResult r = run(cmd);
    if (!succeeded(r)) tolerate(cmd, r, level, severity, after);
    return r;
}

void Operation::tolerate(const CommandLine& cmd, const CommandResult& r, int level,
                         const char* severity, const char* after) const {
    if (!g_ptrLogWriter->isEnabled(level)) return;
    log(level, "%s", rules_.tolerated(cmd.text(), r, severity, after).c_str());
}

CommandResult Operation::mustRun(const CommandLine& cmd, int line) const {
    return mustRun(cmd, StderrText::Backend, line);
}

CommandResult Operation::mustRun(const CommandLine& cmd, StderrText stderrText, int line) const {
    CommandResult r = run(cmd);
    const bool ok = stderrText == StderrText::Tolerated ? r.succeeded() : succeeded(r);
    if (ok) {
        if (!r.err.empty() && stderrText == StderrText::Tolerated) {
            log(0, "'%s' succeeded and said on standard error: %s", cmd.text().c_str(),
                quotedOutput(r.err).c_str());
        }
        return r;
    }
    log(0, "'%s' exited with status %d", cmd.text().c_str(), r.status);
    fail(failureText(cmd, r), line);
}

CommandResult Operation::mustRun(const CommandLine& cmd, const std::string& sentence,
                                 int line) const {
    CommandResult r = run(cmd);
    if (succeeded(r)) return r;
    log(0, "'%s' exited with status %d", cmd.text().c_str(), r.status);
    fail(sentence + ": " + rules_.cause(r.err), line);
}

void Operation::hook(const char* name) const { stepHook(name); }

bool Operation::checkingOnly() { return vbhost::currentPlanSink() != nullptr; }

bool Operation::act(Plan& plan) {
    if (vbhost::PlanSink* sink = vbhost::currentPlanSink()) {
        if (outermost_) {
            std::vector<vbhost::PlannedSubject> subjects;
            for (const Subject& s : plan.subjects()) {
                subjects.push_back({subjectKindName(s.kind), s.name, s.evidence});
            }
            std::vector<std::string> steps;
            for (const Step& step : plan.steps()) steps.push_back(step.what);
            sink->planned(origin_.func, subjects, steps);
        }
        log(2, "Checked only: %zu steps planned, none taken", plan.steps().size());
        return false;
    }
    ActingPlan acting(&plan);
    runSteps(plan.steps());
    return true;
}

void Operation::act(const std::vector<Step>& steps) { runSteps(steps); }

void Operation::runSteps(const std::vector<Step>& steps) {
    vbhost::ProgressSink* sink = outermost_ ? vbhost::currentProgress() : nullptr;
    if (sink && !reported_) {
        reported_ = true;
        started_ = vbhost::currentClock().nowMs();
    }
    size_t n = 0;
    try {
        for (const Step& step : steps) {
            ++n;
            log(2, "Step %zu of %zu: %s", n, steps.size(), step.what.c_str());
            if (sink) sink->step(origin_.func, n, steps.size(), step.what);
            step.run();
        }
    } catch (...) {
        failed_ = true;
        if (!changes_.empty()) {
            const std::string what = messageOf(std::current_exception());
            log(0, "Step %zu (%s) failed: %s; undoing what this call changed", n,
                steps[n - 1].what.c_str(), quotedOutput(what).c_str());
            undoChanges();
        }
        throw;
    }
}

void Operation::changed(std::string what, std::function<void()> undo) {
    changes_.push_back(Change{std::move(what), std::move(undo), ""});
}

void Operation::permanent(std::string what, std::string howToFinish) {
    changes_.push_back(Change{std::move(what), nullptr, std::move(howToFinish)});
}

void Operation::forget(const std::string& what) {
    changes_.erase(std::remove_if(changes_.begin(), changes_.end(),
                                  [&](const Change& c) { return c.what == what; }),
                   changes_.end());
}

std::vector<std::string> Operation::changes() const {
    std::vector<std::string> names;
    for (const Change& c : changes_) names.push_back(c.what);
    return names;
}

std::vector<std::string> Operation::undoChanges() {
    std::vector<std::string> left;
    std::vector<Change> changes;
    changes.swap(changes_);
    for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
        std::string why = it->howToFinish;
        if (it->undo) {
            try {
                it->undo();
                log(2, "Undid %s", it->what.c_str());
                continue;
            } catch (...) {
                why = messageOf(std::current_exception());
            }
        }
        log(0, "Could not undo %s: %s", it->what.c_str(), quotedOutput(why).c_str());
        left.push_back(it->what);
    }
    if (!left.empty()) {
        std::string list;
        for (const std::string& what : left) list += (list.empty() ? "" : "; ") + what;
        log(0, "Left as it is after the failure, for the operator to remove or finish: %s",
            list.c_str());
    }
    return left;
}

bool Operation::falseOnFailure(const std::function<bool()>& body) {
    try {
        if (body()) return true;
    } catch (const YbException& e) {
        EvDebug(nullptr).Error(origin_.func, EvDebug::Fmt("%s", e.getLineNum()),
                               e.getMessage().c_str());
        vbhost::PlanSink* sink = vbhost::currentPlanSink();
        if (sink && outermost_) sink->refused(origin_.func, e.getMessage());
    }
    failed_ = true;
    return false;
}

}  // namespace volbridge
