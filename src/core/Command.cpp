#include "core/Command.h"

#include "core/ShellWord.h"
#include "host/YbProcess.h"

namespace volbridge {

namespace {

thread_local const Plan* t_actingPlan = nullptr;

// Why `cmd` may not run now: empty when it may.
std::string refusal(const CommandLine& cmd) {
    if (!cmd.changesHost()) return "";
    const Plan* plan = t_actingPlan;
    if (!plan) {
        return "Refusing to run '" + cmd.text() +
               "': it changes the host, and no plan is being carried out (the check phase of an "
               "operation changes nothing)";
    }
    for (const auto& [kind, name] : cmd.subjects()) {
        if (!plan->find(kind, name)) {
            return "Refusing to run '" + cmd.text() + "': it changes the " + subjectKindName(kind) +
                   " " + name + ", which is not among what the plan of this operation changes";
        }
    }
    return "";
}

}  // namespace

CommandLine::CommandLine(const Origin& at, std::string text, Effect effect)
    : at_(at), text_(std::move(text)), effect_(effect) {}

CommandLine& CommandLine::subject(SubjectKind kind, const std::string& value, const char* what,
                                  int line) {
    word(value, what, line);
    subjects_.emplace_back(kind, value);
    return *this;
}

CommandLine& CommandLine::subjectArg(SubjectKind kind, const std::string& value, const char* what,
                                     int line) {
    arg(value, what, line);
    subjects_.emplace_back(kind, value);
    return *this;
}

CommandLine& CommandLine::word(const std::string& value, const char* what, int line) {
    requireShellWord(value, what, at_.func, at_.unit, line);
    text_ += ' ';
    text_ += value;
    return *this;
}

CommandLine& CommandLine::arg(const std::string& value, const char* what, int line) {
    requireShellWord(value, what, at_.func, at_.unit, line);
    text_ += value;
    return *this;
}

CommandLine& CommandLine::joined(const std::list<std::string>& values, const std::string& separator,
                                 const char* what, int line) {
    bool first = true;
    for (const std::string& value : values) {
        requireShellWord(value, what, at_.func, at_.unit, line);
        if (!first) text_ += separator;
        text_ += value;
        first = false;
    }
    return *this;
}

CommandLine& CommandLine::literal(const std::string& text) {
    text_ += text;
    return *this;
}

CommandLine CommandLine::fromOperator(const Origin& at, const std::string& line) {
    return CommandLine(at, line);
}

const Plan* actingPlan() { return t_actingPlan; }

ActingPlan::ActingPlan(const Plan* plan) : previous_(t_actingPlan) { t_actingPlan = plan; }

ActingPlan::~ActingPlan() { t_actingPlan = previous_; }

CommandResult run(const CommandLine& cmd, OutputInLog output) {
    const std::string why = refusal(cmd);
    if (!why.empty()) cmd.origin().fail(why);
    CommandResult result;
    result.status = YbProcess::system(cmd.text().c_str(), &result.out, &result.err, 0,
                                      output == OutputInLog::Withheld);
    return result;
}

}  // namespace volbridge
