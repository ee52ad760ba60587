#include "FakeRunner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "Fixtures.h"

namespace vbtest {

FakeRunner::FakeRunner() : guard_(*this) {}

FakeRunner::~FakeRunner() {
    if (allowUnused_) return;
    for (const std::string& rule : unused()) {
        ADD_FAILURE() << "fake runner: this answer was never used: " << rule;
    }
}

FakeRunner& FakeRunner::on(const std::string& cmd, int status, const std::string& out,
                           const std::string& err) {
    Rule rule;
    rule.text = cmd;
    rule.handler = [=](const std::string&) { return Reply{status, out, err}; };
    rules_.push_back(std::move(rule));
    return *this;
}

FakeRunner& FakeRunner::always(const std::string& cmd, int status, const std::string& out,
                               const std::string& err) {
    on(cmd, status, out, err);
    rules_.back().repeat = true;
    return *this;
}

FakeRunner& FakeRunner::onMatch(const std::string& pattern, Handler handler) {
    Rule rule;
    rule.text = pattern;
    rule.isPattern = true;
    rule.pattern = std::regex(pattern);
    rule.handler = std::move(handler);
    rules_.push_back(std::move(rule));
    return *this;
}

FakeRunner& FakeRunner::alwaysMatch(const std::string& pattern, Handler handler) {
    onMatch(pattern, std::move(handler));
    rules_.back().repeat = true;
    return *this;
}

FakeRunner& FakeRunner::failCommand(size_t n, int status, const std::string& err) {
    failAt_ = n;
    failReply_ = Reply{status, "", err};
    allowUnused_ = true;
    return *this;
}

FakeRunner& FakeRunner::allowUnused() {
    allowUnused_ = true;
    return *this;
}

FakeRunner& FakeRunner::replayFrom(const std::string& directory) {
    replayDir_ = directory;
    return *this;
}

std::string FakeRunner::replayFileName(const std::string& cmd) {
    std::string name;
    for (char c : cmd) {
        if (c == ' ') {
            name += '_';
        } else if (c == '/') {
            // "readdescraw /dev/sdb" -> "readdescraw_dev_sdb"
            if (name.empty() || name.back() != '_') name += '_';
        } else if (c != '|' && c != ':') {
            name += c;
        }
    }
    return name + ".txt";
}

namespace {

// `cmd` up to its first "|" outside quotes, without trailing blanks and a "2>/dev/null"; the
// position of that "|" in `bar` (npos when there is none).
std::string firstCommand(const std::string& cmd, size_t* bar) {
    char quote = 0;
    *bar = std::string::npos;
    for (size_t i = 0; i < cmd.size(); ++i) {
        char c = cmd[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '|') {
            *bar = i;
            break;
        }
    }
    std::string first = cmd.substr(0, *bar);
    auto trim = [&] {
        while (!first.empty() && first.back() == ' ') first.pop_back();
    };
    trim();
    const std::string quietErrors = "2>/dev/null";
    if (first.size() >= quietErrors.size() &&
        first.compare(first.size() - quietErrors.size(), quietErrors.size(), quietErrors) == 0) {
        first.erase(first.size() - quietErrors.size());
        trim();
    }
    return first;
}

}  // namespace

bool FakeRunner::replay(const std::string& cmd, Reply* reply) {
    if (replayDir_.empty()) return false;
    const std::string whole = replayDir_ + "/" + replayFileName(cmd);
    if (access(whole.c_str(), R_OK) == 0) {
        *reply = Reply{0, readFile(whole), ""};
        return true;
    }
    size_t bar = 0;
    const std::string first = firstCommand(cmd, &bar);
    if (bar == std::string::npos) return false;
    const std::string source = replayDir_ + "/" + replayFileName(first);
    if (access(source.c_str(), R_OK) != 0) return false;
    // The rest of the pipeline runs for real over the captured output.
    const std::string pipeline = "cat '" + source + "' " + cmd.substr(bar);
    reply->status = vbhost::systemRunner().run(pipeline, &reply->out, &reply->err, 0, false);
    return true;
}

std::vector<std::string> FakeRunner::unused() const {
    std::vector<std::string> left;
    for (const Rule& rule : rules_) {
        if (!rule.repeat && rule.uses == 0) left.push_back(rule.text);
    }
    return left;
}

int FakeRunner::run(const std::string& cmd, std::string* out, std::string* err, int reserved,
                    bool quiet) {
    commands_.push_back(cmd);
    calls_.push_back(Call{cmd, reserved, quiet});
    // A command chosen to fail uses up its answer but has no other effect: its handler, which
    // may stand for what the command changes, is not called.
    const bool failing = failAt_ != 0 && commands_.size() == failAt_;
    Reply reply;
    bool answered = false;
    for (Rule& rule : rules_) {
        if (!rule.repeat && rule.uses > 0) continue;
        bool hit = rule.isPattern ? std::regex_match(cmd, rule.pattern) : rule.text == cmd;
        if (!hit) continue;
        ++rule.uses;
        if (!failing) reply = rule.handler(cmd);
        answered = true;
        break;
    }
    // A command answered from captured output can be chosen to fail as well.
    if (!answered) answered = replay(cmd, &reply);
    if (!answered) {
        ADD_FAILURE() << "fake runner: unexpected command #" << commands_.size() << ": " << cmd;
        reply = Reply{127, "", "fake runner: unexpected command"};
    }
    if (failing) reply = failReply_;
    if (out) *out = reply.out;
    if (err) *err = reply.err;
    return reply.status;
}

void expectCommands(const std::vector<std::string>& run, const std::vector<std::string>& expected) {
    const size_t common = std::min(run.size(), expected.size());
    for (size_t i = 0; i < common; ++i) {
        if (run[i] != expected[i]) {
            ADD_FAILURE() << "command #" << i + 1 << " differs\n     run: " << run[i]
                          << "\nexpected: " << expected[i];
            return;
        }
    }
    for (size_t i = common; i < run.size(); ++i) {
        ADD_FAILURE() << "command #" << i + 1 << " was run but not expected: " << run[i];
    }
    for (size_t i = common; i < expected.size(); ++i) {
        ADD_FAILURE() << "command #" << i + 1 << " was expected but not run: " << expected[i];
    }
}

}  // namespace vbtest
