// Taking a file system out of the cluster (unmount and export), removing it by force when the
// export fails during teardown, and removing a file system made by clone import.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/FileDescriptor.h"
#include "core/ImportLock.h"
#include "core/Text.h"
#include "core/ToolFile.h"
#include "gpfs/gpfs_destroy.h"
#include "gpfs/gpfs_internal.h"

namespace volbridge {
namespace gpfs {

// The error text mentions the disk by name:
//   mmexportfs: Disk nsd3 is a tiebreaker disk and cannot be exported.
std::string tiebreakerDisk(std::string_view text) {
    if (!contains(text, "tiebreaker")) return std::string();
    const size_t disk = text.find("Disk");
    if (disk == std::string_view::npos || disk + 5 > text.size()) return std::string();
    const size_t begin = disk + 5;
    const size_t end = text.find(" is", begin);
    if (end == std::string_view::npos) return std::string();
    return std::string(text.substr(begin, end - begin));
}

}  // namespace gpfs
}  // namespace volbridge

namespace {

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Operation;
namespace gpfs = volbridge::gpfs;

const char kCleanFS[] =
    "bool LVM_gpfs::cleanFS(const LVM::VG&, const std::list<std::string>&, RevertPhase)";
const char kDestroy[] = "virtual void LVM_gpfs::destroyVG(const char*)";

// The files taking a file system out writes: its export file and, for a removal by force, the
// list of its NSDs. Both are checked (nothing planted there is used) before anything runs.
struct TeardownFiles {
    std::string exportFile;
    std::string nsdList;
};

bool isTeardown(RevertPhase phase) {
    return phase == RP_LOCAL || phase == RP_CANCEL || phase == RP_DESTROY;
}

TeardownFiles teardownFiles(const Operation& op, const LVM_gpfs& gpfs, const std::string& fs,
                            RevertPhase phase) {
    gpfs::requireGpfsName(op, fs, "file-system name");
    TeardownFiles files;
    // The export file of a teardown goes again right after; that of the prepare phase is kept
    // for the import that follows.
    files.exportFile =
        isTeardown(phase)
            ? gpfs::tempFilePath(op, "yb_exportFile_", gpfs.getUniqueId(), fs)
            : gpfs::tempFilePath(op, "gpfsRevExport_", gpfs.getUniqueId(), gpfs.getJobId());
    volbridge::clearToolOutputPath(op.origin(), files.exportFile);
    if (phase == RP_LOCAL || phase == RP_DESTROY) {
        files.nsdList = gpfs::tempFilePath(op, "nsdListFile_", gpfs.getUniqueId(), gpfs.getJobId());
        volbridge::clearToolOutputPath(op.origin(), files.nsdList);
    }
    return files;
}

// Runs one step of the forced removal; a failure is logged as an error with `failureNote` after
// the command and its error text, and the removal goes on. The first failure's text is kept in
// `firstError`.
CommandResult runRemovalStep(const Operation& op, const CommandLine& cmd, const char* failureNote,
                             std::string* firstError) {
    const CommandResult r = op.run(cmd);
    if (!op.succeeded(r)) {
        op.error("%s%s", op.failureText(cmd, r).c_str(), failureNote);
        if (firstError->empty()) *firstError = op.failureText(cmd, r);
    }
    return r;
}

// Replaces the content of `path` with `text` through a new file in the same directory that is
// renamed over it, so that a failure half-way leaves the old content whole. The new file takes
// the old one's mode and, where allowed, its owner. False, with the reason in `why`, when the
// file was left as it was.
bool replaceFileContent(const std::string& path, const std::string& text, std::string* why) {
    struct stat old;
    if (stat(path.c_str(), &old) != 0) {
        *why = strerror(errno);
        return false;
    }
    std::string staged = path.substr(0, path.rfind('/') + 1) + ".mmsdrfs.XXXXXX";
    volbridge::FileDescriptor fd(mkostemp(&staged[0], O_CLOEXEC));
    if (fd.get() < 0) {
        *why = strerror(errno);
        return false;
    }
    int error = 0;
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0 && error == 0) {
        ssize_t n = write(fd.get(), p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (error == 0 && fchmod(fd.get(), old.st_mode & 07777) != 0) error = errno;
    if (error == 0 && fchown(fd.get(), old.st_uid, old.st_gid) != 0 && errno != EPERM) {
        error = errno;
    }
    if (error == 0 && fsync(fd.get()) != 0) error = errno;
    if (close(fd.release()) != 0 && error == 0) error = errno;
    if (error == 0 && rename(staged.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        unlink(staged.c_str());
        *why = strerror(error);
        return false;
    }
    return true;
}

// Removes the quorum-disk record of the tiebreaker disk `disk` from the cluster configuration
// after restarting the cluster, and hands the configuration to every node.
void dropQuorumDisk(const Operation& op, const std::string& disk, std::string* firstError) {
    runRemovalStep(op, op.command("mmshutdown -a "), "", firstError);
    runRemovalStep(op, op.command("mmstartup -a "), "", firstError);
    const std::string config = gpfs::configDirectory() + "/mmsdrfs";
    CommandLine filter = op.command("awk '!($0 ~/:");
    filter.arg(disk, "the tiebreaker disk name")
        .literal(":/ && $0 ~/:quorumDisk:/ && $0 ~/BBBB/) {print $0;}'")
        .word(config, "the cluster configuration file")
        .literal(" ");
    const CommandResult kept = runRemovalStep(op, filter, "", firstError);
    // Only a whole configuration replaces the file: a failed or truncated reading never does.
    if (!op.succeeded(kept) || kept.out.empty() || !volbridge::contains(kept.out, "MMFSCFG")) {
        op.error("Error: No data to write to mmsdrfs");
        if (firstError->empty()) *firstError = "Error: No data to write to mmsdrfs";
        return;
    }
    std::string why;
    if (!replaceFileContent(config, kept.out, &why)) {
        op.error("Error: Could not open %s: %s", config.c_str(), why.c_str());
        if (firstError->empty()) *firstError = "Error: Could not open " + config + ": " + why;
    }
    runRemovalStep(op, op.command("mmsdrrestore -a "), "", firstError);
}

// Deletes `fs` and its NSDs after an export that failed during teardown. Every step is attempted
// whatever the one before returned. An export that failed for EIO together with ENODEV deletes
// nothing. Returns the first step's failure ("" when every step succeeded).
std::string removeByForce(const Operation& op, const std::string& fs, const std::string& errorText,
                          const std::string& nsdListFile) {
    std::string tiebreaker = gpfs::tiebreakerDisk(errorText);
    if (!tiebreaker.empty() && !gpfs::isGpfsName(tiebreaker)) {
        op.error(
            "The tiebreaker disk named in the export error [%s] is not a disk name: its quorum "
            "record is left alone",
            volbridge::printable(tiebreaker).c_str());
        tiebreaker.clear();
    }
    if (!tiebreaker.empty()) op.log(0, "Info: Out: '%s' is tiebreaker disk.", tiebreaker.c_str());
    if (volbridge::contains(errorText, "EIO") && volbridge::contains(errorText, "ENODEV")) {
        op.log(0, "The export failed with EIO and ENODEV: nothing is deleted");
        return "Error: the file system " + fs +
               " was neither exported nor deleted (the export failed with EIO and ENODEV)";
    }

    std::string firstError;
    CommandLine list = op.command("mmlsnsd -f");
    list.word(fs, "the file-system name")
        .literal(
            " | awk 'BEGIN {flag=0;} {if(flag>0 && $1 != \"\") print $2; if($1 ~/---/)flag=1;}' "
            "1>")
        .word(nsdListFile, "the NSD list file");
    const CommandResult r =
        runRemovalStep(op, list, " Not failing yet, would try delete fs", &firstError);
    if (op.succeeded(r)) op.log(2, "Info: Out: '%s' Attempting delete fs", r.out.c_str());
    runRemovalStep(op, op.command("mmdelfs").word(fs, "the file-system name").literal(" -p"),
                   " Not failing yet, would try to delete nsd", &firstError);
    gpfs::listingsChanged();
    runRemovalStep(op, op.command("mmdelnsd -F").word(nsdListFile, "the NSD list file"), "",
                   &firstError);
    if (!tiebreaker.empty()) dropQuorumDisk(op, tiebreaker, &firstError);
    return firstError;
}

// How taking a file system out went: whether it was exported, and, when it is still in the
// cluster, why ("" when it is out: exported, or for RP_LOCAL and RP_DESTROY deleted by force).
struct Outcome {
    bool exported = false;
    std::string failure;
};

// Takes `fs` out of the cluster for `phase` (see cleanFS).
Outcome takeOut(LVM_gpfs& gpfs, const Operation& op, const std::string& fs, RevertPhase phase,
                const TeardownFiles& files) {
    // The teardown phases go on whatever fails; the others keep the file system for a later
    // import.
    const bool teardown = isTeardown(phase);
    Outcome outcome;
    if (phase != RP_NO_UNMOUNT && !gpfs.unmountFS(fs, true)) {
        op.error("unmountFS failed.");
        if (!teardown) {
            outcome.failure = "unmountFS failed.";
            return outcome;
        }
    }
    std::string errorText;
    if (gpfs.exportFS(fs, files.exportFile, &errorText)) {
        if (teardown) gpfs::removeFileWeWrote(files.exportFile);
        outcome.exported = true;
        return outcome;
    }
    op.error("Export fs returned error");
    outcome.failure = "Error: the file system " + fs +
                      " could not be exported: " + volbridge::quotedOutput(errorText);
    if (!teardown) return outcome;
    if (phase == RP_CANCEL) {
        // Cancelling a revert brings a file system back; it never deletes one.
        op.error("The file system '%s' was not exported; cancelling a revert deletes nothing",
                 fs.c_str());
    } else {
        outcome.failure = removeByForce(op, fs, errorText, files.nsdList);
    }
    gpfs::removeFileWeWrote(files.exportFile);
    return outcome;
}

}  // namespace

bool LVM_gpfs::cleanFS(const VG& vg, const std::list<std::string>& pv_dev_list, RevertPhase phase) {
    (void)pv_dev_list;
    Operation op(kCleanFS, volbridge::unit::kGpfs);
    return op.falseOnFailure([&] {
        const TeardownFiles files = teardownFiles(op, *this, vg.name, phase);
        // A file system deleted by force was not exported: the clean-up still reports false.
        return takeOut(*this, op, vg.name, phase, files).exported;
    });
}

void LVM_gpfs::destroyVG(const char* vg_name) {
    Operation op(kDestroy, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    op.log(3, "Entering");
    if (!vg_name) op.fail("Error: vg_name is NULL");
    const std::string fs = vg_name;
    gpfs::requireGpfsName(op, fs, "file-system name");
    volbridge::ImportLock lock(op.origin());
    // Only GPFS's own word that it does not know the name means there is nothing to remove.
    if (gpfs::presenceOf(op, fs) == gpfs::Presence::Absent) {
        op.error("Filesystem by name '%s' does not exist. Returning.", fs.c_str());
        return;
    }
    const TeardownFiles files = teardownFiles(op, *this, fs, RP_DESTROY);
    // Unmount, export to a file that goes again, and on a failed export delete the file system
    // and its NSDs.
    op.act("taking " + fs + " out of this cluster", [&] {
        const Outcome outcome = takeOut(*this, op, fs, RP_DESTROY, files);
        if (!outcome.failure.empty()) op.fail(outcome.failure);
    });
    if (!gpfs::markerSet("gpfsKeepTemp")) cleanTemp("");
}
