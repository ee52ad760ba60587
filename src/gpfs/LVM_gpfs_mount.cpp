// Mount control: mounting, unmounting, suspending and resuming a file system, recording the nodes
// that have it mounted, and removing the backend's temporary files.
#include <unistd.h>

#include "core/TempFile.h"
#include "core/Text.h"
#include "core/ToolFile.h"
#include "gpfs/gpfs_internal.h"
#include "gpfs/gpfs_mount.h"
#include "host/WmSleep.h"
#include "host/YBPlatformInfo.h"
#include "host/YbException.h"

namespace volbridge {
namespace gpfs {

// The header names the file system; on current releases it also names the cluster that owns it,
// and each node line the cluster the node belongs to (nodes of other clusters mount it remotely):
//
//   File system fs1 (mnsd.cluster:fs1) is mounted on 5 nodes:
//     9.114.132.101   c5n101                          mnsd.cluster
//     9.114.132.97    c5n97                           cluster1.cluster
//
// Older releases print neither cluster:
//
//   File system gpfs0 is mounted on 2 nodes:
//     10.0.0.1        node1
std::string mountedNodes(std::string_view text, const std::string& fs) {
    std::string nodes;
    bool pastHeader = false;
    std::string owner;
    for (const std::string& line : splitLines(text)) {
        const std::vector<std::string> words = splitWords(line);
        if (!pastHeader) {
            if (words.size() > 2 && words[2] == fs) {
                pastHeader = true;
                // "(mnsd.cluster:fs1)"
                if (words.size() > 3 && startsWith(words[3], "(")) {
                    owner = words[3].substr(1, words[3].find(':') - 1);
                }
            }
            continue;
        }
        if (words.size() < 2) continue;
        if (words.size() > 2 && !owner.empty() && words[2] != owner) continue;
        nodes += words[1] + "\n";
    }
    return nodes;
}

}  // namespace gpfs
}  // namespace volbridge

namespace {

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Operation;
namespace gpfs = volbridge::gpfs;

const char kMount[] =
    "virtual bool LVM_gpfs::mountFS(const std::string&, const std::string&, RevertPhase, bool)";
const char kUnmount[] = "virtual bool LVM_gpfs::unmountFS(const std::string&, bool)";
const char kMountNodes[] = "bool LVM_gpfs::getMountNodes(const std::string&, std::string&)";
const char kCleanTemp[] = "bool LVM_gpfs::cleanTemp(const std::string&)";

// The longest pause after a mount or unmount, in seconds.
constexpr unsigned long kLongestMountDelay = 120;

// The prefixes of the backend's temporary files, in the order cleanTemp removes them.
const char* const kTempPrefixes[] = {"gpfsMNodeList_", "stanzaFile_", "mmsdrfsExport_",
                                     "gpfsRevExport_", "nsdListFile_"};

// Gives GPFS time to settle after a mount or an unmount: "nGPFSMountDelayInSeconds" in section
// "Oxbrook", 1 second when it is missing or above 120, no pause for 0.
void pauseAfterMount() {
    unsigned long seconds = 1;
    if (!YBPlatformInfo::getNumber("Oxbrook", "nGPFSMountDelayInSeconds", &seconds) ||
        seconds > kLongestMountDelay) {
        seconds = 1;
    }
    if (seconds > 0) WMSLEEP(seconds * 1000);
}

// "mmmount <fs>" with the form that `node_file`, `phase` and `read_only` choose. A node file
// names the nodes GPFS mounts on: only one this user (or root) wrote and nobody else may change
// is used.
CommandLine mountCommand(const Operation& op, const std::string& fs, const std::string& node_file,
                         RevertPhase phase, bool read_only) {
    CommandLine cmd = op.command("mmmount");
    cmd.word(fs, "the file-system name");
    if (!node_file.empty()) {
        op.log(0, "nodeFileFullPath = '%s'", node_file.c_str());
        cmd.literal(" -N").word(node_file, "the node file").literal(" 1>/dev/null");
        std::string why;
        const gpfs::FileState state = gpfs::fileWeWrote(node_file, &why);
        if (state != gpfs::FileState::Trusted) {
            op.fail("Refusing the node file " + node_file + ": " +
                    (state == gpfs::FileState::Missing ? "it does not exist" : why));
        }
    } else if (read_only) {
        cmd.literal(" -o ro 1>/dev/null");
    } else if (phase == RP_LOCAL) {
        cmd.literal(" 1>/dev/null");  // this node only
    } else {
        cmd.literal(" -a 1>/dev/null");
    }
    return cmd;
}

// "mmfsctl <fs> <action>", logged through the debug logger.
bool controlFileSystem(const char* func, const std::string& fs, const char* action) {
    Operation op(func, volbridge::unit::kGpfs);
    return op.falseOnFailure([&] {
        CommandLine cmd = op.command("mmfsctl");
        cmd.word(fs, "the file-system name").literal(std::string(" ") + action);
        const CommandResult r = op.run(cmd);
        if (!op.succeeded(r)) {
            op.logFailure(cmd, r);
            return false;
        }
        op.log(2, "Info: %sFS out '%s' ", action, r.out.c_str());
        return true;
    });
}

}  // namespace

bool LVM_gpfs::mountFS(const std::string& fs, const std::string& node_file, RevertPhase phase,
                       bool read_only) {
    Operation op(kMount, volbridge::unit::kGpfs);
    return op.falseOnFailure([&] {
        const CommandLine cmd = mountCommand(op, fs, node_file, phase, read_only);
        const CommandResult r = op.run(cmd);
        gpfs::listingsChanged();
        if (op.succeeded(r)) {
            op.log(0, "Info: mmmountOut: '%s' ", r.out.c_str());
            pauseAfterMount();
            return true;
        }
        op.logFailure(cmd, r);
        gpfs::waitWhileMarker("gpfsMountWait");
        return gpfs::markerSet("gpfsMountIgnore") || volbridge::contains(r.err, "unavailable");
    });
}

bool LVM_gpfs::unmountFS(const std::string& fs, bool force) {
    Operation op(kUnmount, volbridge::unit::kGpfs);
    return op.falseOnFailure([&] {
        CommandLine cmd = op.command("mmumount");
        cmd.word(fs, "the file-system name").literal(force ? " -a -f" : " -a");
        const CommandResult r = op.run(cmd);
        gpfs::listingsChanged();
        if (!op.succeeded(r)) {
            op.logFailure(cmd, r);
            return false;
        }
        op.log(0, "Info: mmumountOut: '%s' ", r.out.c_str());
        pauseAfterMount();
        return true;
    });
}

bool LVM_gpfs::suspendFS(const std::string& fs) {
    return controlFileSystem("LVM_gpfs::suspendFS", fs, "suspend");
}

bool LVM_gpfs::resumeFS(const std::string& fs) {
    return controlFileSystem("LVM_gpfs::resumeFS", fs, "resume");
}

bool LVM_gpfs::getMountNodes(const std::string& fs, std::string& nodes) {
    Operation op(kMountNodes, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    return op.falseOnFailure([&] {
        CommandLine cmd = op.command("mmlsmount");
        cmd.word(fs, "the file-system name").literal(" -L");
        const std::string path = gpfs::tempFilePath(op, "gpfsMNodeList_", m_uniqueId, m_jobId);
        const CommandResult r = gpfs::listed(op, cmd);
        nodes = gpfs::mountedNodes(r.out, fs);
        if (!op.succeeded(r)) {
            // What was printed before the failure is still the best record there is.
            op.logFailure(cmd, r);
        } else {
            op.log(0, "Info: mmlsmountOut: '%s' ", nodes.c_str());
            if (nodes.empty()) {
                op.error(
                    "mmlsmountOut did not return nodes. Probably the file system is "
                    "unmounted!!!");
            }
        }
        op.log(0, "write node list to nodeFileFullPath = '%s'", path.c_str());
        try {
            volbridge::writeToolFile(op.origin(), path, nodes);
        } catch (const YbException& e) {
            op.error("Could not open node file '%s': %s", path.c_str(), e.getMessage().c_str());
            return false;
        }
        return true;
    });
}

bool LVM_gpfs::cleanTemp(const std::string& path) {
    const Operation op(kCleanTemp, volbridge::unit::kGpfs);
    if (!path.empty()) {
        if (unlink(path.c_str()) == 0) return true;
        op.error("unlink failed for '%s'", path.c_str());
        return false;
    }
    gpfs::removeTemporaryFiles(m_uniqueId, m_jobId);
    return true;
}

namespace volbridge {
namespace gpfs {

void removeTemporaryFiles(const std::string& uniqueId, const std::string& jobId) {
    const Operation op(kCleanTemp, unit::kGpfs);
    std::string directory;
    try {
        directory = hostTempDirectory(op.origin());
    } catch (const YbException& e) {
        op.error("%s", e.getMessage().c_str());
        return;
    }
    for (const char* prefix : kTempPrefixes) {
        const std::string file = directory + "/" + prefix + uniqueId + jobId;
        if (unlink(file.c_str()) != 0) op.log(3, "unlink failed for '%s'", file.c_str());
    }
    op.log(3, "It is ok for unlink to fail for files that did not exist");
}

}  // namespace gpfs
}  // namespace volbridge
