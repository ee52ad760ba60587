#include "core/StepHook.h"

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "core/Markers.h"
#include "core/Text.h"
#include "host/LogWriter.h"
#include "host/WmSleep.h"

namespace volbridge {

namespace {

// Seconds a hook's marker asks the step to pause: its first line as a number, 0 counting as
// 1; -1 when the line is empty, no number or negative (the step is then held).
int pauseSeconds(const std::string& content) {
    const std::string line = trimBlanks(content.substr(0, content.find_first_of("\n\r")));
    int seconds = -1;
    if (!line.empty() && sscanf(line.c_str(), "%d", &seconds) != 1) seconds = -1;
    return seconds == 0 ? 1 : seconds;
}

// Whether anything is at `path` (a file, a link, a directory): the hold lasts until it is gone.
bool present(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace

void stepHook(const char* name) {
    const std::string marker = markerPath(name);
    std::string content;
    if (!readMarker(marker, &content)) return;

    const int seconds = pauseSeconds(content);
    if (seconds >= 1) {
        WMSLEEP(static_cast<unsigned long>(seconds) * 1000UL);
        return;
    }
    // Held until the operator removes the resume file. Polls every 5 seconds and says so once
    // every 20 seconds.
    const std::string resume = marker + ".resume";
    if (!createResumeFile(resume) && !present(resume)) {
        // Nothing can be made there, so nothing could ever be removed to resume: the hold
        // cannot work and the step goes on.
        EvDebug(nullptr).DebugLvl(
            "waitFor", 0,
            "Cannot create the resume file '%s' of the held step '%s': the step "
            "goes on",
            resume.c_str(), name);
        return;
    }
    for (unsigned poll = 0; present(resume); ++poll) {
        if (poll % 4 == 0) {
            const std::string why = markerDistrust(resume);
            if (why.empty()) {
                EvDebug(nullptr).DebugLvl("waitFor", 0, "waiting till file '%s' exists.",
                                          resume.c_str());
            } else {
                EvDebug(nullptr).DebugLvl(
                    "waitFor", 0,
                    "waiting till file '%s' exists. (it is not one this process "
                    "made or trusts: %s; remove it to let the step go on)",
                    resume.c_str(), why.c_str());
            }
        }
        WMSLEEP(5000);
    }
}

}  // namespace volbridge
