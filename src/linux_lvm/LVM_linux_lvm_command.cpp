// Running LVM2 commands.
#include "core/Text.h"
#include "linux_lvm/lvm2_command.h"

namespace volbridge {
namespace lvm2 {

namespace {

// Room for the values of one command line, well under the 128 KiB the kernel allows one argument
// (the whole line is one argument of "/bin/sh -c").
constexpr size_t kMaxValuesPerLine = 64 * 1024;

}  // namespace

CommandResult mustRunLvm(const Operation& op, const CommandLine& cmd, const std::string& sentence,
                         int line) {
    return op.mustRun(cmd, sentence, line);
}

std::vector<CommandLine> commandsFor(const Operation& op, const std::string& head,
                                     const std::list<std::string>& values, const char* what) {
    std::vector<CommandLine> lines;
    size_t length = 0;
    for (const std::string& value : values) {
        if (lines.empty() || length + value.size() + 1 > kMaxValuesPerLine) {
            lines.push_back(op.command(head));
            length = 0;
        }
        lines.back().word(value, what);
        length += value.size() + 1;
    }
    return lines;
}

}  // namespace lvm2
}  // namespace volbridge
