// Helpers shared by the GPFS backend's source files: its settings, running a GPFS command, the
// names of its temporary files, operator markers, and cutting its texts apart.
#include <climits>

#include "core/Markers.h"
#include "core/TempFile.h"
#include "core/Text.h"
#include "gpfs/gpfs_internal.h"
#include "host/FXString.h"
#include "host/WmSleep.h"

namespace volbridge {
namespace gpfs {

std::string& configDirectory() {
    static std::string directory = "/var/mmfs/gen";
    return directory;
}

std::string& exportFileDirectory() {
    static std::string directory = "/tmp";
    return directory;
}

std::vector<std::string> cutTokens(std::string_view text, std::string_view firstDelimiters,
                                   std::string_view delimiters) {
    std::vector<std::string> tokens;
    size_t at = 0;
    std::string_view cut = firstDelimiters;
    for (;;) {
        at = text.find_first_not_of(cut, at);
        if (at == std::string_view::npos) return tokens;
        size_t end = text.find_first_of(cut, at);
        if (end == std::string_view::npos) end = text.size();
        tokens.emplace_back(text.substr(at, end - at));
        // The delimiter that ended the token is used up, whatever the next set holds.
        at = end + 1;
        cut = delimiters;
        if (at >= text.size()) return tokens;
    }
}

int leadingInt(std::string_view text) {
    size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    long long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(value);
}

bool listHolds(const std::string& list, const std::string& name) {
    for (const std::string& entry : splitFields(list, ';')) {
        if (entry == name) return true;
    }
    return false;
}

std::string commandFailure(const CommandLine& cmd, const CommandResult& result) {
    return "Error: cmd: '" + cmd.text() + "' failed with error: '" + result.err + "'";
}

std::string outputOf(const Origin& at, const CommandLine& cmd, int line) {
    CommandResult result = run(cmd);
    if (!result.succeededQuietly()) at.fail(commandFailure(cmd, result), line);
    return result.out;
}

std::string tempFilePath(const Origin& at, const char* prefix, const std::string& uniqueId,
                         const std::string& jobId) {
    return hostTempDirectory(at) + "/" + prefix + uniqueId + jobId;
}

bool markerSet(const char* name) { return markerExists(markerPath(name)); }

void waitWhileMarker(const char* name) {
    while (markerSet(name)) WMSLEEP(2000);
}

void appendNsdList(CommandLine& cmd, const std::string& list) {
    std::list<std::string> names;
    FXString::Split(list, ";", names, FXString::KEEP_EMPTY);
    cmd.joined(names, ";", "the NSD name");
}

void rethrowFrom(const Origin& at, const char* otherText, ErrorNumber number, int line) {
    try {
        throw;
    } catch (const YbException& e) {
        g_ptrLogWriter->log(-1, at.func, line, 0, 0, "[%s:%d] %s", e.getFileName().c_str(),
                            e.getLineNum(), e.getMessage().c_str());
        const int err = number == ErrorNumber::Kept60606 && e.getErrno() == 60606 ? 60606 : -1;
        at.fail(e.getMessage(), line, err);
    } catch (...) {
        g_ptrLogWriter->log(-1, at.func, line, 0, 0, "%s", otherText);
        at.fail(otherText, line);
    }
}

}  // namespace gpfs
}  // namespace volbridge
