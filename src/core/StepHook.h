// Step hooks: named points of a long sequence of commands (rescan, tag, import, destroy, ...)
// where an operator can pause or hold the sequence from outside with a marker file.
//
// The hook `name` does nothing unless the trusted marker markerPath(name) exists (see
// core/Markers.h for what "trusted" means). The marker's first line "N" (N > 0) pauses the step N
// seconds, "0" one second; anything else (an empty file, a negative number, text) holds the step
// until the operator removes the resume file markerPath(name) + ".resume", which the hook
// creates (mode 0600). While a resume file exists the step stays held, also when that file is not
// one this process would trust as a marker (another user's, a link): such a file never counts as
// "go on", and the log says why the step still waits. The marker itself is never removed.
#pragma once

namespace volbridge {

void stepHook(const char* name);

}  // namespace volbridge
