// How each backend judges and words the commands it runs: one table, looked up once per
// operation by its source unit (core/Origin.h).
//
//   success    exit status 0; the GPFS tools also report some failures only as text on standard
//              error, so for GPFS any such text is a failure too
//   cause      what standard error says went wrong: LVM2 prints warnings before the cause
//              ("WARNING: Not using device ..."), which the cause leaves out; the other tools'
//              standard error is the cause as it stands
//   failure    the text of a command that had to succeed:
//                VxVM  Error: cmd: '<command>' failed with the error: '<cause>'
//                GPFS  Error: cmd: '<command>' failed with error: '<cause>'
//                LVM2  "<command>" failed: <cause>
//   tolerated  the log line of a command whose failure the operation goes on after:
//                VxVM  Info: cmd: '<command>' failed with the message: '<standard error>'
//                      (the severity and a tail such as ". Continuing..." as the caller says)
//                GPFS  Error: cmd: '<command>' failed with error: '<standard error>'
//                LVM2  Command [<command>] failed with stdout=[<output>], stderr=[<error>]
#pragma once

#include <string>
#include <string_view>

#include "core/Command.h"

namespace volbridge {

struct CommandRules {
    const char* unit;
    bool standardErrorFails;
    std::string (*cause)(std::string_view err);
    std::string (*failure)(const std::string& cmd, const std::string& cause);
    std::string (*tolerated)(const std::string& cmd, const CommandResult& r, const char* severity,
                             const char* after);

    bool succeeded(const CommandResult& r) const {
        return standardErrorFails ? r.succeededQuietly() : r.succeeded();
    }
};

// The rules of the source unit `unit`; a unit without rules of its own (backend selection, the
// parser) has LVM2's.
const CommandRules& commandRules(const char* unit);

// What LVM2 said went wrong, out of a failed command's standard error: its lines without the
// warnings it prints before the cause ("WARNING: ..."), blanks trimmed, joined with "; ". When
// the text holds warnings only, they are the cause; an empty text gives "".
//   WARNING: Not using device /dev/loop2 for PV YNDByI-OYHw-brJd-NW9k-q6DU-MmAA-NJJLos.
//   WARNING: PV YNDByI-OYHw-brJd-NW9k-q6DU-MmAA-NJJLos prefers device /dev/loop0 because ...
//   Cannot activate LVs in VG vbexpsrc while PVs appear on duplicate devices.
std::string lvmFailureCause(std::string_view err);

}  // namespace volbridge
