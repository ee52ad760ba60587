// Mount control: mounting, unmounting, suspending and resuming a file system, recording the nodes
// that have it mounted, and removing the backend's temporary files.
#include <unistd.h>

#include "core/Command.h"
#include "core/TempFile.h"
#include "core/Text.h"
#include "core/ToolFile.h"
#include "gpfs/gpfs_internal.h"
#include "host/LogWriter.h"
#include "host/WmSleep.h"
#include "host/YBPlatformInfo.h"

namespace {

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Origin;
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

// "mmmount <fs>" with the form that `node_file`, `phase` and `read_only` choose.
CommandLine mountCommand(const Origin& here, const std::string& fs, const std::string& node_file,
                         RevertPhase phase, bool read_only) {
    CommandLine cmd(here, "mmmount");
    cmd.word(fs, "the file-system name");
    if (!node_file.empty()) {
        g_ptrLogWriter->log(0, kMount, __LINE__, 0, 0, "nodeFileFullPath = '%s'",
                            node_file.c_str());
        cmd.literal(" -N").word(node_file, "the node file").literal(" 1>/dev/null");
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
    const Origin here{func, volbridge::unit::kGpfs};
    EvDebug dbg(nullptr);
    return gpfs::falseOnRefusal(func, [&] {
        CommandLine cmd(here, "mmfsctl");
        cmd.word(fs, "the file-system name").literal(std::string(" ") + action);
        CommandResult r = volbridge::run(cmd);
        if (!r.succeededQuietly()) {
            dbg.Error(func, "Error: cmd: '%s' failed with error: '%s'", cmd.text().c_str(),
                      r.err.c_str());
            return false;
        }
        dbg.Debug(func, "Info: %sFS out '%s' ", action, r.out.c_str());
        return true;
    });
}

}  // namespace

bool LVM_gpfs::mountFS(const std::string& fs, const std::string& node_file, RevertPhase phase,
                       bool read_only) {
    const Origin here{kMount, volbridge::unit::kGpfs};
    return gpfs::falseOnRefusal(kMount, [&] {
        const CommandLine cmd = mountCommand(here, fs, node_file, phase, read_only);
        CommandResult r = volbridge::run(cmd);
        if (r.succeededQuietly()) {
            g_ptrLogWriter->log(0, kMount, __LINE__, 0, 0, "Info: mmmountOut: '%s' ",
                                r.out.c_str());
            pauseAfterMount();
            return true;
        }
        g_ptrLogWriter->log(-1, kMount, __LINE__, 0, 0, "Error: cmd: '%s' failed with error: '%s'",
                            cmd.text().c_str(), r.err.c_str());
        gpfs::waitWhileMarker("gpfsMountWait");
        return gpfs::markerSet("gpfsMountIgnore") || volbridge::contains(r.err, "unavailable");
    });
}

bool LVM_gpfs::unmountFS(const std::string& fs, bool force) {
    const Origin here{kUnmount, volbridge::unit::kGpfs};
    return gpfs::falseOnRefusal(kUnmount, [&] {
        CommandLine cmd(here, "mmumount");
        cmd.word(fs, "the file-system name").literal(force ? " -a -f" : " -a");
        CommandResult r = volbridge::run(cmd);
        if (!r.succeededQuietly()) {
            g_ptrLogWriter->log(-1, kUnmount, __LINE__, 0, 0,
                                "Error: cmd: '%s' failed with error: '%s'", cmd.text().c_str(),
                                r.err.c_str());
            return false;
        }
        g_ptrLogWriter->log(0, kUnmount, __LINE__, 0, 0, "Info: mmumountOut: '%s' ", r.out.c_str());
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
    const Origin here{kMountNodes, volbridge::unit::kGpfs};
    return gpfs::falseOnRefusal(kMountNodes, [&] {
        // The node names follow the line whose third word is the file system's name.
        CommandLine cmd(here, "mmlsmount");
        cmd.word(fs, "the file-system name")
            .literal(" -L | awk 'BEGIN{ flag=0;} {if(flag>0) print $2; if($3 == \"")
            .arg(fs, "the file-system name")
            .literal("\"){ flag=1; }}'");
        CommandResult r = volbridge::run(cmd);
        if (!r.succeededQuietly()) {
            g_ptrLogWriter->log(-1, kMountNodes, __LINE__, 0, 0,
                                "Error: cmd: '%s' failed with error: '%s'", cmd.text().c_str(),
                                r.err.c_str());
        } else {
            g_ptrLogWriter->log(0, kMountNodes, __LINE__, 0, 0, "Info: mmlsmountOut: '%s' ",
                                r.out.c_str());
            if (r.out.empty()) {
                g_ptrLogWriter->log(-1, kMountNodes, __LINE__, 0, 0,
                                    "mmlsmountOut did not return nodes. Probably the file system "
                                    "is unmounted!!!");
            }
        }
        nodes = r.out;
        const std::string path = gpfs::tempFilePath(here, "gpfsMNodeList_", m_uniqueId, m_jobId);
        g_ptrLogWriter->log(0, kMountNodes, __LINE__, 0, 0,
                            "write node list to nodeFileFullPath = '%s'", path.c_str());
        try {
            volbridge::writeToolFile(here, path, nodes);
        } catch (const YbException& e) {
            g_ptrLogWriter->log(-1, kMountNodes, __LINE__, 0, 0,
                                "Could not open node file '%s': %s", path.c_str(),
                                e.getMessage().c_str());
            return false;
        }
        return true;
    });
}

bool LVM_gpfs::cleanTemp(const std::string& path) {
    if (!path.empty()) {
        if (unlink(path.c_str()) == 0) return true;
        g_ptrLogWriter->log(-1, kCleanTemp, __LINE__, 0, 0, "unlink failed for '%s'", path.c_str());
        return false;
    }
    gpfs::removeTemporaryFiles(m_uniqueId, m_jobId);
    return true;
}

namespace volbridge {
namespace gpfs {

void removeTemporaryFiles(const std::string& uniqueId, const std::string& jobId) {
    const Origin here{kCleanTemp, unit::kGpfs};
    std::string directory;
    try {
        directory = hostTempDirectory(here);
    } catch (const YbException& e) {
        g_ptrLogWriter->log(-1, kCleanTemp, __LINE__, 0, 0, "%s", e.getMessage().c_str());
        return;
    }
    for (const char* prefix : kTempPrefixes) {
        const std::string file = directory + "/" + prefix + uniqueId + jobId;
        if (unlink(file.c_str()) != 0) {
            g_ptrLogWriter->log(3, kCleanTemp, __LINE__, 0, 0, "unlink failed for '%s'",
                                file.c_str());
        }
    }
    g_ptrLogWriter->log(3, kCleanTemp, __LINE__, 0, 0,
                        "It is ok for unlink to fail for files that did not exist");
}

}  // namespace gpfs
}  // namespace volbridge
