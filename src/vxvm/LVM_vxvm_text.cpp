// Step hooks and the text helpers that cut VxVM command output apart.
#include <cstdio>

#include "core/StepHook.h"
#include "host/LogWriter.h"
#include "host/WmSleep.h"
#include "vxvm/vxvm_internal.h"

namespace volbridge {
namespace vxvm {

void waitFor(const char* name) { stepHook(name); }

std::string trimLine(const std::string& s) { return s.substr(0, s.find_first_of("\n\r")); }

std::string trimSpace(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return s;
    const size_t last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
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

}  // namespace vxvm
}  // namespace volbridge
