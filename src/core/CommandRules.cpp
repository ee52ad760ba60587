#include "core/CommandRules.h"

#include <cstring>

#include "core/Origin.h"
#include "core/Text.h"

namespace volbridge {

namespace {

std::string asItStands(std::string_view err) { return std::string(err); }

std::string vxvmFailure(const std::string& cmd, const std::string& cause) {
    return "Error: cmd: '" + cmd + "' failed with the error: '" + cause + "'";
}
std::string gpfsFailure(const std::string& cmd, const std::string& cause) {
    return "Error: cmd: '" + cmd + "' failed with error: '" + cause + "'";
}
std::string lvmFailure(const std::string& cmd, const std::string& cause) {
    return "\"" + cmd + "\" failed: " + cause;
}

std::string vxvmTolerated(const std::string& cmd, const CommandResult& r, const char* severity,
                          const char* after) {
    return std::string(severity) + ": cmd: '" + cmd + "' failed with the message: '" + r.err + "'" +
           after;
}
std::string gpfsTolerated(const std::string& cmd, const CommandResult& r, const char*,
                          const char*) {
    return gpfsFailure(cmd, r.err);
}
std::string lvmTolerated(const std::string& cmd, const CommandResult& r, const char*, const char*) {
    return "Command [" + cmd + "] failed with stdout=[" + r.out + "], stderr=[" + r.err + "]";
}

const CommandRules kRules[] = {
    {unit::kLinuxLvm, false, lvmFailureCause, lvmFailure, lvmTolerated},
    {unit::kVxvm, false, asItStands, vxvmFailure, vxvmTolerated},
    {unit::kGpfs, true, asItStands, gpfsFailure, gpfsTolerated},
};

}  // namespace

const CommandRules& commandRules(const char* unit) {
    for (const CommandRules& rules : kRules) {
        if (strcmp(rules.unit, unit) == 0) return rules;
    }
    return kRules[0];
}

std::string lvmFailureCause(std::string_view err) {
    std::string cause, warnings;
    for (const std::string& line : splitLines(err)) {
        const std::string text = trimBlanks(line);
        if (text.empty()) continue;
        std::string& into = startsWith(text, "WARNING:") ? warnings : cause;
        into += (into.empty() ? "" : "; ") + text;
    }
    return cause.empty() ? warnings : cause;
}

}  // namespace volbridge
