// The text helpers that cut VxVM command output apart, and the failure path of an operation's
// steps.
#include "core/Text.h"
#include "vxvm/vxvm_internal.h"

namespace volbridge {
namespace vxvm {

std::string trimLine(const std::string& s) { return s.substr(0, s.find_first_of("\n\r")); }

std::string trimSpace(const std::string& s) {
    // A text of blanks and tabs only stays as it is.
    std::string trimmed = trimBlanks(s);
    return trimmed.empty() ? s : trimmed;
}

void Tokenize(const std::string& str, std::vector<std::string>& tokens,
              const std::string& delimiters) {
    size_t start = str.find_first_not_of(delimiters);
    while (start != std::string::npos) {
        const size_t end = str.find_first_of(delimiters, start);
        tokens.push_back(str.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) break;
        start = str.find_first_not_of(delimiters, end);
    }
}

void Split(const std::string& str, const std::string& separator, std::vector<std::string>& out,
           SeparatorRuns runs) {
    out.clear();
    if (str.empty()) return;
    if (separator.empty()) {
        out.push_back(str);
        return;
    }
    size_t pos = 0;
    for (;;) {
        const size_t hit = str.find(separator, pos);
        if (hit == std::string::npos) {
            out.push_back(str.substr(pos));
            return;
        }
        out.push_back(str.substr(pos, hit - pos));
        pos = hit + separator.size();
        if (runs == SeparatorRuns::Collapse) {
            while (pos < str.size() && str.compare(pos, separator.size(), separator) == 0) {
                pos += separator.size();
            }
        }
    }
}

std::vector<Operation::Step> withFailurePath(std::vector<Operation::Step> steps,
                                             const std::function<void()>& onFailure) {
    for (Operation::Step& step : steps) {
        step.run = [onFailure, run = std::move(step.run)] {
            try {
                run();
            } catch (...) {
                onFailure();
                throw;
            }
        };
    }
    return steps;
}

}  // namespace vxvm
}  // namespace volbridge
