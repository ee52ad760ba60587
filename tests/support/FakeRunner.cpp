#include "FakeRunner.h"

#include <gtest/gtest.h>

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
    if (!answered) {
        ADD_FAILURE() << "fake runner: unexpected command #" << commands_.size() << ": " << cmd;
        reply = Reply{127, "", "fake runner: unexpected command"};
    }
    if (failing) reply = failReply_;
    if (out) *out = reply.out;
    if (err) *err = reply.err;
    return reply.status;
}

}  // namespace vbtest
