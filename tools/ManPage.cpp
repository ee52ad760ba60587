#include "ManPage.h"

#include <algorithm>
#include <set>
#include <sstream>

namespace vbtool {

namespace {

const char* const kDescription = R"roff(.SH DESCRIPTION
.B volbridge
runs the operations of the volbridge library through the library's public interface, the way a
backup agent calls them. At backup time it shows the group a device belongs to (an LVM2 volume
group, a VxVM disk group or a GPFS file system), the disks that carry it, and captures the group's
metadata. At restore time it imports cloned disks as a new group beside the old one (clone import),
brings live volumes back onto disks the storage has rolled back (revert), and removes the groups it
made. For GPFS it also mounts, unmounts, suspends and resumes file systems.
.PP
Standard output carries the result: a table, or JSON with
.BR \-\-json .
Standard error carries the tool's own messages. Of the library's log, standard error shows only
errors, unless
.B \-\-log\-level
asks for more;
.B \-\-log\-file
sends the whole log at the configured level (default 0) to a file.
.SS Progress
While a subcommand that changes disks runs and standard error is a terminal, one line shows the
step the operation is at, rewritten in place as it goes:
.PP
.RS
.EX
[3/7] restoring the group metadata onto /dev/sdx
.EE
.RE
.PP
When the operation ends, a last line gives the time it took, or, when it failed, the step it
failed at. Nothing of it is shown when standard error is not a terminal, with
.BR \-\-json ,
or with
.BR \-\-quiet .
With
.BR \-\-trace ,
each command the library runs is still shown, above the step line.
)roff";

const char* const kExitStatus = R"roff(.SH EXIT STATUS
.TP
.B 0
Success.
.TP
.B 1
The operation failed: the library's message and the function that raised it are on standard
error. For
.BR can\-revert ,
.BR prepare\-revert ,
.BR cancel\-revert ,
.BR mount ,
.BR unmount ,
.B suspend
and
.BR resume ,
the library's verdict was "no" (its log says why).
.B discover
also exits with 1 when no group matches, and
.B devices
when a backend's listing fails.
.TP
.B 2
Usage error: nothing was run.
.TP
.BI 128+ N
Signal
.I N
(SIGINT, SIGTERM or SIGHUP) arrived while an operation changed disks or a file system's state.
The operation was let run to its end first;
.B recreate
and
.B revert
still wrote the map. After a harder stop (SIGKILL, a crash, a power cut) run the same command
again, with the same map file: it finishes the work. (A VxVM clone import stopped after its
.B vxdg import
is the exception: the second run changes nothing and names the disk group the clones already
form, to be used as it is or removed with
.BR destroy .)
)roff";

const char* const kEnvironment = R"roff(.SH ENVIRONMENT
.TP
.B VOLBRIDGE_CONFIG
The configuration file, instead of
.IR /etc/volbridge/volbridge.conf .
.B \-\-config
overrides it.
.TP
.B VOLBRIDGE_LOG_LEVEL
The level of the library's log in a log file ([host] log_level): \-1 errors only, 0 the default,
2 to 4 more detail.
.B \-\-log\-level
overrides it, and sets the level on standard error too.
.TP
.B VOLBRIDGE_LOG_FILE
A file the library's log is appended to ([host] log_file), instead of standard error.
.TP
.B VOLBRIDGE_TMPDIR
The directory of the files the library writes for the volume managers' commands ([host]
temp_dir); default the private
.IR /tmp/volbridge\-<euid> .
.TP
.B VOLBRIDGE_JOB_ID
A job number shown in every log line ([host] job_id); the GPFS backend names its files with it.
.TP
.B LVM_SYSTEM_DIR
Read by the LVM2 commands the library runs: the directory of their
.IR lvm.conf .
.TP
.B PATH
Where the volume managers' commands are found.
)roff";

const char* const kFiles = R"roff(.SH FILES
.TP
.I /etc/volbridge/volbridge.conf
The configuration, an INI file; a missing file means every default. Keys: in [FileSystemAgent],
nDONOT_CLEAR_SYSTEM_ID (1: an LVM2 clone keeps the captured system id; default 0) and
nDECLUSTER_LVM (0: an LVM2 clone keeps the clustered flag; default 1); in [Oxbrook],
nGPFSMountDelayInSeconds (the pause after a GPFS mount or unmount, default 1); in [~Oxbrook],
nGPFSFAILUREGROUPNUM_<fs> (snapshot only that failure group of the GPFS file system <fs>); in
[host], log_level, log_file, temp_dir and job_id (see ENVIRONMENT).
.TP
.I /var/lib/volbridge/lvm2\-import.lock
Held by an LVM2 clone import from its listing of the groups to the restore of the new one, and
by a revert; another one waits. The directory is made with mode 0700 and must belong to root.
.TP
.I /var/lib/volbridge/lvm2\-import.journal
The new PV identifier of each clone, written before the clone is changed, so that a second run
after an interruption recognises the clones the first one changed.
.TP
.I /tmp/volbridge\-<euid>
The private temporary directory (mode 0700), unless [host] temp_dir names another.
)roff";

const char* const kMarkers = R"roff(.SH OPERATOR MARKERS
Files under
.I /tmp
whose presence changes a step, for an operator investigating a restore. A marker counts only when
it is a regular file (not a symbolic link), owned by the user the tool runs as or by root, and
not writable by group or others
.RB ( "touch F; chmod 644 F" ).
Any other file of that name counts as absent, and the library logs which file it ignored and why.
The commands in
.I /tmp/report.cmds
and a step hook's first line are read from the file that passed this test.
.TP
.IR /tmp/<step> " (VxVM: " settag.before ", " dgimport.after ", " rmdg.before ", " vxvmsteps ", ...)"
Pauses that step: a first line N > 0 waits N seconds, 0 waits one second, anything else holds the
step until
.I /tmp/<step>.resume
(created by the library) is removed.
.TP
.IR /tmp/requireretag " (VxVM)"
Clone import retries a failed tagging (three attempts) instead of importing untagged.
.TP
.IR /tmp/userdgremove " (VxVM)"
Destroy removes nothing.
.TP
.IR /tmp/showmetadata ", " /tmp/report.cmds " (VxVM)"
The diagnostics dump (log level 3 and up) includes the captured metadata, and runs each non-empty
line of the second file as a command.
.TP
.IR /tmp/gpfsImportWait ", " /tmp/gpfsMountWait " (GPFS)"
After a failed import or mount, wait while the file exists.
.TP
.IR /tmp/gpfsIgnoreError ", " /tmp/gpfsMountIgnore ", " /tmp/gpfsExIgnoreError " (GPFS)"
A failed import, mount or disk exclusion counts as success.
.TP
.IR /tmp/donotexclude " (GPFS)"
Clone import excludes no disks.
.TP
.IR /tmp/gpfsAttRevert " (GPFS)"
Allows the revert of a failure-group snapshot.
.TP
.IR /tmp/gpfsKeepTemp " (GPFS)"
Revert, cancel and destroy keep their temporary files.
.TP
.IR /tmp/gpfsimportWait ", " /tmp/gpfsexcludeWait ", " /tmp/gpfsstanzaWait " (GPFS)"
Debug pauses: wait while the file exists.
)roff";

const char* const kExamples = R"roff(.SH EXAMPLES
An LVM2 volume group: capture it at backup time, import byte-for-byte clones of its disks at
restore time, and remove the imported group when it is no longer needed.
.PP
.RS
.EX
volbridge discover /dev/data/home \-\-metadata\-out meta.txt \-\-map\-out map.json
volbridge recreate \-\-vendor LinuxLVM \-\-metadata meta.txt \-\-map map.json /dev/sdx /dev/sdy
volbridge destroy \-\-vendor LinuxLVM data_copy_001
.EE
.RE
.PP
A VxVM disk group: the same capture and clone import, and an in-place revert of one disk around a
storage rollback.
.PP
.RS
.EX
volbridge discover /dev/vx/dsk/datadg/vol01 \-\-metadata\-out meta.txt \-\-map\-out map.json
volbridge recreate \-\-vendor VxVM \-\-metadata meta.txt \-\-map map.json /dev/sdx /dev/sdy
volbridge prepare\-revert \-\-vendor VxVM \-\-metadata meta.txt \-\-vg datadg /dev/sdb
volbridge revert \-\-vendor VxVM \-\-metadata meta.txt \-\-map map.json /dev/sdb
.EE
.RE
.PP
A GPFS file system: suspended around a hardware snapshot, captured, and imported from its cloned
disks (GPFS reads no map: a file holding {} will do).
.PP
.RS
.EX
volbridge suspend gpfs0
# ... the storage snapshots the disks of gpfs0 ...
volbridge resume gpfs0
volbridge discover /dev/gpfs0 \-\-metadata\-out meta.txt
echo \(aq{}\(aq > empty.json
volbridge recreate \-\-vendor GPFS \-\-metadata meta.txt \-\-map empty.json /dev/sdx
volbridge mount gpfs0
.EE
.RE
.SH SEE ALSO
.BR lvm (8),
.BR vgcfgrestore (8),
.BR pvcreate (8)
)roff";

bool isCommon(const CLI::App& app, const CLI::Option* opt) {
    return opt != app.get_help_ptr() && opt != app.get_version_ptr() && !opt->get_group().empty();
}

std::string usageOf(const CLI::App* app, const std::string& name) {
    std::string usage = CLI::Formatter().make_usage(app, name);
    const std::string label = "Usage: ";
    if (usage.rfind(label, 0) == 0) usage.erase(0, label.size());
    while (!usage.empty() && usage.back() == '\n') usage.pop_back();
    return usage;
}

// ".TP" entry of one option: its name in bold, its value's name in italics, then its help.
std::string optionEntry(const CLI::Option* opt) {
    std::string head;
    if (opt->get_positional()) {
        head = "\\fI" + roffText(opt->get_name(true)) + "\\fR";
    } else {
        head = "\\fB" + roffText(opt->get_name(false, true)) + "\\fR";
        if (opt->get_type_size() != 0 && !opt->get_type_name().empty()) {
            head += " \\fI" + roffText(opt->get_type_name()) + "\\fR";
        }
    }
    if (opt->get_expected_max() > 1) head += " ...";
    if (opt->get_required()) head += " (required)";
    return ".TP\n" + head + "\n" + roffText(opt->get_description()) + "\n";
}

}  // namespace

std::string roffText(const std::string& text) {
    std::string out;
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && (c == '.' || c == '\'')) out += "\\&";
        lineStart = c == '\n';
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    return out;
}

std::string manPage(const CLI::App& app, const std::string& version,
                    const std::vector<std::string>& sharedFooters) {
    std::ostringstream page;
    const std::string name = app.get_name();
    std::string summary = app.get_description();
    if (!summary.empty() && summary.back() == '.') summary.pop_back();
    if (!summary.empty()) summary[0] = static_cast<char>(tolower(summary[0]));
    page << ".TH VOLBRIDGE 1 \"\" \"" << name << " " << version << "\" \"User Commands\"\n"
         << ".SH NAME\n"
         << name << " \\- " << roffText(summary) << "\n";

    const std::vector<const CLI::App*> subcommands =
        app.get_subcommands([](const CLI::App*) { return true; });
    page << ".SH SYNOPSIS\n.nf\n";
    for (const CLI::App* sub : subcommands) {
        page << roffText(usageOf(sub, name + " " + sub->get_name())) << "\n";
    }
    page << roffText(name + " --help | --version") << "\n.fi\n";

    page << kDescription;

    // The common options, once; the subcommands list only their own.
    std::set<std::string> common;
    std::string commonEntries;
    for (const CLI::Option* opt : app.get_options()) {
        if (!isCommon(app, opt)) continue;
        common.insert(opt->get_name(false, true));
        commonEntries += optionEntry(opt);
    }

    page << ".SH SUBCOMMANDS\n";
    for (const CLI::App* sub : subcommands) {
        page << ".SS \"" << roffText(usageOf(sub, sub->get_name())) << "\"\n"
             << roffText(sub->get_description()) << "\n";
        for (const CLI::Option* opt : sub->get_options()) {
            if (opt == sub->get_help_ptr() || common.count(opt->get_name(false, true))) continue;
            page << optionEntry(opt);
        }
        std::istringstream footer(sub->get_footer());
        for (std::string line; std::getline(footer, line);) {
            if (line.empty() || std::find(sharedFooters.begin(), sharedFooters.end(), line) !=
                                    sharedFooters.end()) {
                continue;
            }
            page << ".PP\n" << roffText(line) << "\n";
        }
    }
    page << ".SH \"COMMON OPTIONS\"\nEvery subcommand takes these.\n" << commonEntries;
    page << kExitStatus << kEnvironment << kFiles << kMarkers << kExamples;
    return page.str();
}

}  // namespace vbtool
