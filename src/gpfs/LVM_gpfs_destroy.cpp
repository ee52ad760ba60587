// Taking a file system out of the cluster (unmount and export), removing it by force when the
// export fails during teardown, and removing a file system made by clone import.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/Command.h"
#include "core/FileDescriptor.h"
#include "core/ShellWord.h"
#include "core/Text.h"
#include "core/ToolFile.h"
#include "gpfs/gpfs_internal.h"
#include "host/LogWriter.h"

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
using volbridge::Origin;
namespace gpfs = volbridge::gpfs;

const char kCleanFS[] =
    "bool LVM_gpfs::cleanFS(const LVM::VG&, const std::list<std::string>&, RevertPhase)";
const char kDestroy[] = "virtual void LVM_gpfs::destroyVG(const char*)";

// Runs one step of the forced removal; a failure is logged as an error with `failureNote` after
// the command and its error text, and the removal goes on.
CommandResult runRemovalStep(const CommandLine& cmd, const char* failureNote) {
    CommandResult r = volbridge::run(cmd);
    if (!r.succeededQuietly()) {
        g_ptrLogWriter->log(-1, kCleanFS, __LINE__, 0, 0,
                            "Error: cmd: '%s' failed with error: '%s'%s", cmd.text().c_str(),
                            r.err.c_str(), failureNote);
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
void dropQuorumDisk(const Origin& here, const std::string& disk) {
    runRemovalStep(CommandLine(here, "mmshutdown -a "), "");
    runRemovalStep(CommandLine(here, "mmstartup -a "), "");
    const std::string config = gpfs::configDirectory() + "/mmsdrfs";
    CommandLine filter(here, "awk '!($0 ~/:");
    filter.arg(disk, "the tiebreaker disk name")
        .literal(":/ && $0 ~/:quorumDisk:/ && $0 ~/BBBB/) {print $0;}'")
        .word(config, "the cluster configuration file")
        .literal(" ");
    CommandResult kept = runRemovalStep(filter, "");
    // Only a whole configuration replaces the file: a failed or truncated reading never does.
    if (!kept.succeededQuietly() || kept.out.empty() || !volbridge::contains(kept.out, "MMFSCFG")) {
        g_ptrLogWriter->log(-1, kCleanFS, __LINE__, 0, 0, "Error: No data to write to mmsdrfs");
        return;
    }
    std::string why;
    if (!replaceFileContent(config, kept.out, &why)) {
        g_ptrLogWriter->log(-1, kCleanFS, __LINE__, 0, 0, "Error: Could not open %s: %s",
                            config.c_str(), why.c_str());
    }
    const CommandLine restore(here, "mmsdrrestore -a ");
    CommandResult r = volbridge::run(restore);
    if (!r.succeededQuietly()) {
        g_ptrLogWriter->log(-1, kCleanFS, __LINE__, 0, 0, ": cmd: '%s' failed with error: '%s'",
                            restore.text().c_str(), r.err.c_str());
    }
}

// Deletes `fs` and its NSDs after an export that failed during teardown. Every step is attempted
// whatever the one before returned. An export that failed for EIO together with ENODEV deletes
// nothing.
void removeByForce(const std::string& fs, const std::string& errorText,
                   const std::string& nsdListFile) {
    const Origin here{kCleanFS, volbridge::unit::kGpfs};
    std::string tiebreaker = gpfs::tiebreakerDisk(errorText);
    if (!tiebreaker.empty() && !volbridge::isShellWord(tiebreaker)) {
        g_ptrLogWriter->log(-1, kCleanFS, __LINE__, 0, 0,
                            "The tiebreaker disk named in the export error [%s] is not a disk "
                            "name: its quorum record is left alone",
                            volbridge::printable(tiebreaker).c_str());
        tiebreaker.clear();
    }
    if (!tiebreaker.empty()) {
        g_ptrLogWriter->log(0, kCleanFS, __LINE__, 0, 0, "Info: Out: '%s' is tiebreaker disk.",
                            tiebreaker.c_str());
    }
    if (volbridge::contains(errorText, "EIO") && volbridge::contains(errorText, "ENODEV")) {
        g_ptrLogWriter->log(0, kCleanFS, __LINE__, 0, 0,
                            "The export failed with EIO and ENODEV: nothing is deleted");
        return;
    }

    CommandLine list(here, "mmlsnsd -f");
    list.word(fs, "the file-system name")
        .literal(
            " | awk 'BEGIN {flag=0;} {if(flag>0 && $1 != \"\") print $2; if($1 ~/---/)flag=1;}' "
            "1>")
        .word(nsdListFile, "the NSD list file");
    volbridge::clearToolOutputPath(here, nsdListFile);
    CommandResult r = runRemovalStep(list, " Not failing yet, would try delete fs");
    if (r.succeededQuietly()) {
        g_ptrLogWriter->log(2, kCleanFS, __LINE__, 0, 0, "Info: Out: '%s' Attempting delete fs",
                            r.out.c_str());
    }
    runRemovalStep(CommandLine(here, "mmdelfs").word(fs, "the file-system name").literal(" -p"),
                   " Not failing yet, would try to delete nsd");
    runRemovalStep(CommandLine(here, "mmdelnsd -F").word(nsdListFile, "the NSD list file"), "");
    if (!tiebreaker.empty()) dropQuorumDisk(here, tiebreaker);
}

}  // namespace

bool LVM_gpfs::cleanFS(const VG& vg, const std::list<std::string>& pv_dev_list, RevertPhase phase) {
    (void)pv_dev_list;
    const Origin here{kCleanFS, volbridge::unit::kGpfs};
    return gpfs::falseOnRefusal(kCleanFS, [&] {
        const std::string& fs = vg.name;
        volbridge::requireShellWord(fs, "the file-system name", here.func, here.unit, __LINE__);
        // The teardown phases go on whatever fails; the others keep the file system for a later
        // import.
        const bool teardown = phase == RP_LOCAL || phase == RP_CANCEL || phase == RP_DESTROY;
        if (phase != RP_NO_UNMOUNT && !unmountFS(fs, true)) {
            g_ptrLogWriter->log(-1, kCleanFS, __LINE__, 0, 0, "unmountFS failed.");
            if (!teardown) return false;
        }
        const std::string exportFile =
            teardown ? gpfs::exportFileDirectory() + "/yb_exportFile_" + m_uniqueId + fs
                     : std::string();
        std::string errorText;
        if (exportFS(fs, exportFile, &errorText)) {
            if (teardown) unlink(exportFile.c_str());
            return true;
        }
        g_ptrLogWriter->log(-1, kCleanFS, __LINE__, 0, 0, "Export fs returned error");
        if (!teardown) return false;
        if (phase == RP_CANCEL) {
            // Cancelling a revert brings a file system back; it never deletes one.
            g_ptrLogWriter->log(-1, kCleanFS, __LINE__, 0, 0,
                                "The file system '%s' was not exported; cancelling a revert "
                                "deletes nothing",
                                fs.c_str());
        } else {
            removeByForce(fs, errorText,
                          gpfs::tempFilePath(here, "nsdListFile_", m_uniqueId, m_jobId));
        }
        unlink(exportFile.c_str());
        return false;
    });
}

void LVM_gpfs::destroyVG(const char* vg_name) {
    const Origin here{kDestroy, volbridge::unit::kGpfs};
    g_ptrLogWriter->log(3, kDestroy, __LINE__, 0, 0, "Entering");
    if (!vg_name) here.fail("Error: vg_name is NULL");
    volbridge::requireShellWord(vg_name, "the file-system name", here.func, here.unit, __LINE__);
    if (isGPFSFileSystem(vg_name) == 1) {
        g_ptrLogWriter->log(-1, kDestroy, __LINE__, 0, 0,
                            "Filesystem by name '%s' does not exist. Returning.", vg_name);
        return;
    }
    VG vg;
    vg.name = vg_name;
    // Unmount, export to a file that goes again, and on a failed export delete the file system
    // and its NSDs: the outcome is in the log.
    cleanFS(vg, {}, RP_DESTROY);
    if (!gpfs::markerSet("gpfsKeepTemp")) cleanTemp("");
}
