// Running LVM2 commands: the failure text that quotes LVM2, and commands that take many LVs.
#pragma once

#include <list>
#include <string>
#include <vector>

#include "core/Operation.h"

namespace volbridge {
namespace lvm2 {

// Runs the LVM2 command; when it fails, logs its exit status at level 0 and throws `sentence` +
// ": " + the cause LVM2 gave (lvmFailureCause) from the operation (the runner's log has the whole
// standard error at level 4).
CommandResult mustRunLvm(const Operation& op, const CommandLine& cmd, const std::string& sentence,
                         int line = __builtin_LINE());

// The command lines `head` + " " + each of `values` (LV device paths, device-mapper names), as
// few as the shell allows: one, unless the values are together longer than one command line
// should be (LVM2 and dmsetup take any number of them, but the host's shell takes a command of
// at most 128 KiB).
std::vector<CommandLine> commandsFor(const Operation& op, const std::string& head,
                                     const std::list<std::string>& values, const char* what);

}  // namespace lvm2
}  // namespace volbridge
