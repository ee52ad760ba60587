// The diagnostics dump: VxVM's view of the disks written into the debug log at the end of the
// critical steps, when the debug level is above 2.
#include <algorithm>
#include <sstream>

#include "core/Markers.h"
#include "core/Text.h"
#include "host/LogWriter.h"
#include "vxvm/vxvm_internal.h"

namespace volbridge {
namespace vxvm {

void reportOutput(std::ostringstream& out, const std::string& prefix, const std::string& text) {
    for (const std::string& line : splitLines(text)) out << prefix << line;
}

// Output of "vxdisk -e list" (the status may be several words; the attributes are the last
// column, the OS native name the one before):
//   DEVICE       TYPE           DISK        GROUP        STATUS               OS_NATIVE_NAME   ATTR
//   emc0_0a1b    auto:cdsdisk   datadg01    datadg       online               sdb              -
//   emc0_0a1e    auto:none      -           -            online invalid       sde              -
std::vector<DiskRow> parseDiskRows(std::string_view text) {
    std::vector<DiskRow> rows;
    std::vector<std::string> fields;
    for (const std::string& raw : splitLines(text)) {
        const std::string line = trimSpace(trimLine(raw));
        if (trimBlanks(line).empty()) continue;
        Split(line, " ", fields, SeparatorRuns::Collapse);
        if (fields.size() < 7) continue;
        if (std::find(fields.begin(), fields.end(), "OS_NATIVE_NAME") != fields.end()) continue;
        rows.push_back(DiskRow{fields[0], fields[fields.size() - 2]});
    }
    return rows;
}

}  // namespace vxvm
}  // namespace volbridge

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Origin;
using volbridge::vxvm::reportOutput;

namespace {

const Origin kDump{"LVM_vxvm::printVXVMStatus", volbridge::unit::kVxvm};

// The dump under construction: every element is preceded by "\n" + label + ":".
class Dump {
  public:
    explicit Dump(const char* label) : prefix_(std::string("\n") + (label ? label : "") + ":") {}

    void line(const std::string& text) { out_ << prefix_ << text; }
    void lines(const std::string& text) { reportOutput(out_, prefix_, text); }
    void failure(const CommandLine& cmd, const CommandResult& r) {
        line("cmd: '" + cmd.text() + "' failed with the std message:");
        lines(r.out);
        line("failed with the err message:");
        lines(r.err);
        line("Continuing...");
    }
    // Runs `cmd` and adds its output, or its failure block.
    void command(const CommandLine& cmd) {
        const CommandResult r = volbridge::run(cmd);
        if (r.succeeded()) {
            line("*** sub_cmd:" + cmd.text());
            lines(r.out);
        } else {
            failure(cmd, r);
        }
    }
    std::string text() const { return out_.str(); }

  private:
    std::string prefix_;
    std::ostringstream out_;
};

// A "vxdisk list" section for every disk row of "vxdisk -e list"; false when the listing
// failed.
bool addDiskSections(Dump& dump) {
    const CommandLine listAll(kDump, "vxdisk -e list");
    const CommandResult listed = volbridge::run(listAll);
    if (!listed.succeeded()) {
        dump.failure(listAll, listed);
        return false;
    }
    dump.line("*** sub_cmd:" + listAll.text());
    dump.lines(listed.out);
    for (const volbridge::vxvm::DiskRow& row : volbridge::vxvm::parseDiskRows(listed.out)) {
        dump.line("*** information for '" + row.device + "' <-> '" + row.osName + "'");
        try {
            const CommandLine one = CommandLine(kDump, "vxdisk list").word(row.device, "the disk");
            const CommandResult r = volbridge::run(one);
            if (r.succeeded()) {
                dump.lines(r.out);
            } else {
                dump.failure(one, r);
            }
        } catch (const YbException& e) {
            // A device name the shell would read is not run; the rest of the dump goes on.
            dump.line(e.getMessage());
        }
    }
    return true;
}

// The operator's own diagnostic commands, one a line, from a trusted "/tmp/report.cmds".
void addOperatorCommands(Dump& dump) {
    std::string content;
    if (!volbridge::readMarker(volbridge::markerPath("report.cmds"), &content)) return;
    for (const std::string& raw : volbridge::splitLines(content)) {
        // Lines of blanks are skipped like empty ones.
        const std::string line = volbridge::vxvm::trimSpace(volbridge::vxvm::trimLine(raw));
        if (volbridge::trimBlanks(line).empty()) continue;
        dump.command(CommandLine::fromOperator(kDump, line));
    }
}

}  // namespace

void LVM_vxvm::printVXVMStatus(const char* label, const std::list<std::string>& disks,
                               const char* metadata) {
    if (debug_->getDebugLevel() <= 2) return;
    try {
        Dump dump(label);
        dump.line("Info: Dump debug information. Start...");
        if (!disks.empty()) {
            dump.line("*** disks used:");
            for (const std::string& disk : disks) dump.line(" " + disk);
        }
        if (metadata && volbridge::markerExists(volbridge::markerPath("showmetadata"))) {
            dump.line("*** metadata:");
            dump.lines(metadata);
        }
        if (addDiskSections(dump)) {
            dump.command(CommandLine(kDump, "vxdisk -o alldgs list"));
            addOperatorCommands(dump);
        }
        dump.line("Info: Dump debug information. End...");
        debug_->debug("%s", dump.text().c_str());
    } catch (const std::exception& e) {
        // The dump only adds to the log; the operation it describes goes on without it.
        debug_->Debug(kDump.func, "Info: diagnostics dump '%s' abandoned: %s", label ? label : "",
                      e.what());
    }
}

void LVM_vxvm::printVXVMStatus(const char* label) { printVXVMStatus(label, {}, nullptr); }
