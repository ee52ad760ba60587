// In-place revert of a GPFS file system: checking the snapshot disks, taking the file system out
// of the cluster before the storage rolls the disks back, importing it again afterwards, and
// undoing the preparation when the revert is abandoned.
//
// The calls of one revert may run on different backend objects; each parses the same metadata,
// so the unique id, failure group and exclude list, and with them the names of the temporary
// files, agree.
#include <unistd.h>

#include <set>

#include "core/Command.h"
#include "core/ShellWord.h"
#include "gpfs/gpfs_internal.h"
#include "host/LogWriter.h"

namespace {

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Origin;
namespace gpfs = volbridge::gpfs;
using Map = std::map<std::string, std::string>;

const char kCanRevert[] =
    "virtual bool LVM_gpfs::canRevert(const LVM::VG&, const char*, const "
    "std::list<std::string>&)";
const char kPrepRevert[] =
    "virtual bool LVM_gpfs::prepRevertLV(const LVM::VG&, const char*, const "
    "std::list<std::string>&)";
const char kRevertLVs[] =
    "virtual LVM::VG LVM_gpfs::revertLVs(const std::list<std::string>&, const char*, "
    "std::map<std::string, std::string>&)";
const char kCancel[] =
    "virtual bool LVM_gpfs::cancelRevertLV(const char*, const std::list<std::string>&)";
const char kRevert[] =
    "bool LVM_gpfs::revert(GPFSMetadata&, std::map<std::string, std::string>&, "
    "std::map<std::string, std::string>&, const std::list<std::string>&, const char*, "
    "RevertPhase)";
const char kStopDisks[] =
    "bool LVM_gpfs::stopDisks(const std::string&, const std::string&, std::string&)";
const char kStartDisks[] =
    "bool LVM_gpfs::startDisks(const std::string&, const std::string&, std::string&)";
const char kRestripe[] = "bool LVM_gpfs::restripeFS(const std::string&, std::string&)";

// Runs a disk or rebalancing command of the tool `tool` whose failure never stops an operation:
// logged at level 0, reported by the result.
bool runDiskCommand(const char* func, const CommandLine& cmd, const char* tool, std::string& out) {
    CommandResult r = volbridge::run(cmd);
    out = r.out;
    if (!r.succeededQuietly()) {
        g_ptrLogWriter->log(0, func, __LINE__, 0, 0, "Error: cmd: '%s' failed with error: '%s'",
                            cmd.text().c_str(), r.err.c_str());
        return false;
    }
    g_ptrLogWriter->log(0, func, __LINE__, 0, 0, "Info: %s cmd [%s] out [%s] ", tool,
                        cmd.text().c_str(), r.out.c_str());
    return true;
}

// "mmchdisk <fs> <action> -d "<disks>"".
bool changeDisks(const char* func, const std::string& fs, const char* action,
                 const std::string& disks, std::string& out) {
    const Origin here{func, volbridge::unit::kGpfs};
    g_ptrLogWriter->log(3, func, __LINE__, 0, 0, "Entering '%s'", func);
    return gpfs::falseOnRefusal(func, [&] {
        CommandLine cmd(here, "mmchdisk");
        cmd.word(fs, "the file-system name").literal(std::string(" ") + action + " -d \"");
        gpfs::appendNsdList(cmd, disks);
        cmd.literal("\"");
        return runDiskCommand(func, cmd, "mmchdisk", out);
    });
}

// The state a revert's metadata gives the object: what names its files and which disks it
// stopped. A discovery on the way gives the object a new capture; the revert's own steps go on
// with the captured one.
struct CapturedState {
    std::string uniqueId;
    int failureGroup;
    std::string excludeList;
};

}  // namespace

bool LVM_gpfs::canRevert(const VG& vg, const char* metadata,
                         const std::list<std::string>& pv_dev_list) {
    (void)vg;
    GPFSMetadata md;
    Map pvMap, lvMap, captured, nsdMap;
    parseMetadata(metadata ? metadata : "", md, pvMap, lvMap);
    if (!parsePVId(pvMap, captured, nsdMap)) return false;
    if (captured.size() != pv_dev_list.size()) {
        g_ptrLogWriter->log(-1, kCanRevert, __LINE__, 0, 0,
                            "old_pv_map.size [%d] is not equal to pv_dev_list.size [%d]",
                            static_cast<int>(captured.size()),
                            static_cast<int>(pv_dev_list.size()));
        return false;
    }
    // Only the identifiers in the descriptors count: the disks may have other device paths now.
    std::set<std::string> found;
    for (const std::string& device : pv_dev_list) {
        std::string diskId;
        if (getDiskIdfromDevice(device, diskId) == 1) {
            g_ptrLogWriter->log(-1, kCanRevert, __LINE__, 0, 0,
                                "Error: cmd: getDiskIdfromDevice failed");
            return false;
        }
        g_ptrLogWriter->log(0, kCanRevert, __LINE__, 0, 0, "Info: diskUid: '%s' ", diskId.c_str());
        if (diskId.empty()) {
            g_ptrLogWriter->log(-1, kCanRevert, __LINE__, 0, 0,
                                "Error: mmfsadm did not return id for disk!!!");
            return false;
        }
        found.insert(diskId);
    }
    for (const auto& entry : captured) {
        if (!found.count(entry.second)) return false;
    }
    return !captured.empty();
}

bool LVM_gpfs::prepRevertLV(const VG& vg, const char* metadata,
                            const std::list<std::string>& pv_dev_list) {
    const Origin here{kPrepRevert, volbridge::unit::kGpfs};
    g_ptrLogWriter->log(3, kPrepRevert, __LINE__, 0, 0, "Entering '%s'", kPrepRevert);
    GPFSMetadata md;
    Map pvMap, lvMap;
    parseMetadata(metadata ? metadata : "", md, pvMap, lvMap);
    volbridge::requireShellWord(vg.name, "the file-system name", here.func, here.unit, __LINE__);
    if (m_failureGroup > 0 && !gpfs::markerSet("gpfsAttRevert")) {
        g_ptrLogWriter->log(-1, kPrepRevert, __LINE__, 0, 0,
                            "Revert is not supported for mirror snap");
        return false;
    }
    // The node file names the nodes to mount on again.
    std::string nodes;
    getMountNodes(vg.name, nodes);
    if (m_failureGroup > 0) {
        g_ptrLogWriter->log(0, kPrepRevert, __LINE__, 0, 0, "Stopping disks for mirror [%d] [%s]",
                            m_failureGroup, m_excludeList.c_str());
        std::string out;
        stopDisks(vg.name, m_excludeList, out);
    }
    return cleanFS(vg, pv_dev_list, RP_PREPARE);
}

bool LVM_gpfs::revert(GPFSMetadata& md, Map& pvMap, Map& lvMap,
                      const std::list<std::string>& pv_dev_list, const char* metadata,
                      RevertPhase phase) {
    (void)pvMap;
    (void)lvMap;
    (void)pv_dev_list;
    (void)metadata;
    // An empty import file is the one the prepare phase exported to.
    std::string importFile;
    if (phase == RP_REVERT && !writeMmsdrfsFile(md.mmsdrfsData, "", &importFile)) {
        g_ptrLogWriter->log(-1, kRevert, __LINE__, 0, 0, "Failed to write to mmsdrfsfile");
        return false;
    }
    if (!importFS(md.fsName, importFile, "")) {
        g_ptrLogWriter->log(-1, kRevert, __LINE__, 0, 0, "import operation failed");
        return false;
    }
    g_ptrLogWriter->log(0, kRevert, __LINE__, 0, 0, "import operation completed successfully");
    return true;
}

LVM::VG LVM_gpfs::revertLVs(const std::list<std::string>& pv_dev_list, const char* metadata,
                            Map& old2new_uuid_map) {
    (void)old2new_uuid_map;
    const Origin here{kRevertLVs, volbridge::unit::kGpfs};
    try {
        g_ptrLogWriter->log(3, kRevertLVs, __LINE__, 0, 0, "Entering '%s'", kRevertLVs);
        if (!metadata || !*metadata) here.fail("Error: Metadata is NULL");
        GPFSMetadata md;
        Map pvMap, lvMap;
        parseMetadata(metadata, md, pvMap, lvMap);
        volbridge::requireShellWord(md.fsName, "the file-system name", here.func, here.unit,
                                    __LINE__);
        const std::string captured = m_uniqueId;
        if (!revert(md, pvMap, lvMap, pv_dev_list, metadata, RP_REVERT)) {
            g_ptrLogWriter->log(-1, kRevertLVs, __LINE__, 0, 0, "revert to old vg retruned error");
            here.fail("Error: Revert failed for the filesystem :" + md.fsName);
        }
        if (m_failureGroup > 0) {
            std::string out;
            g_ptrLogWriter->log(0, kRevertLVs, __LINE__, 0, 0,
                                "Starting disks for mirror [%d] [%s]", m_failureGroup,
                                m_excludeList.c_str());
            startDisks(md.fsName, m_excludeList, out);
            g_ptrLogWriter->log(0, kRevertLVs, __LINE__, 0, 0, "Starting restripe for mirror [%d]",
                                m_failureGroup);
            restripeFS(md.fsName, out);
        }
        mountFS(md.fsName, "", RP_REVERT, false);
        VG vg;
        populateFS(md.fsName, vg, &md.fsName, &md.fsId, &pvMap, &lvMap);
        // The files this revert wrote carry the captured unique id, not the one the discovery
        // just made.
        if (!gpfs::markerSet("gpfsKeepTemp")) gpfs::removeTemporaryFiles(captured, m_jobId);
        return vg;
    } catch (...) {
        gpfs::rethrowFrom(here, "Exception in revertLVs", gpfs::ErrorNumber::Kept60606);
    }
}

bool LVM_gpfs::cancelRevertLV(const char* metadata, const std::list<std::string>& pv_dev_list) {
    const Origin here{kCancel, volbridge::unit::kGpfs};
    g_ptrLogWriter->log(3, kCancel, __LINE__, 0, 0, "Entering '%s'", kCancel);
    GPFSMetadata md;
    Map pvMap, lvMap;
    parseMetadata(metadata ? metadata : "", md, pvMap, lvMap);
    volbridge::requireShellWord(md.fsName, "the file-system name", here.func, here.unit, __LINE__);
    const CapturedState captured{m_uniqueId, m_failureGroup, m_excludeList};

    // Without the file the prepare phase exported to there is nothing to bring back: taking a
    // file system that is still in the cluster out of it would lose it.
    std::string prepared;
    try {
        prepared = gpfs::tempFilePath(here, "gpfsRevExport_", m_uniqueId, m_jobId);
    } catch (const YbException& e) {
        g_ptrLogWriter->log(-1, kCancel, __LINE__, 0, 0, "%s", e.getMessage().c_str());
        return false;
    }
    if (access(prepared.c_str(), F_OK) != 0) {
        g_ptrLogWriter->log(-1, kCancel, __LINE__, 0, 0,
                            "Error: the export file '%s' of the prepare phase is missing; the "
                            "file system '%s' is left as it is",
                            prepared.c_str(), md.fsName.c_str());
        return false;
    }

    VG vg;
    try {
        populateFS(md.fsName, vg, &md.fsName, &md.fsId, &pvMap, &lvMap);
    } catch (const YbException& e) {
        g_ptrLogWriter->log(-1, kCancel, __LINE__, 0, 0, "[%s:%d] %s", e.getFileName().c_str(),
                            e.getLineNum(), e.getMessage().c_str());
    } catch (...) {
        g_ptrLogWriter->log(-1, kCancel, __LINE__, 0, 0, "Exception in cancelRevertLV");
    }
    m_uniqueId = captured.uniqueId;
    m_failureGroup = captured.failureGroup;
    m_excludeList = captured.excludeList;
    vg.name = md.fsName;

    if (!cleanFS(vg, pv_dev_list, RP_CANCEL)) {
        g_ptrLogWriter->log(-1, kCancel, __LINE__, 0, 0,
                            "cleanFS has returned error. Not sending failure as yet.");
    }
    if (!revert(md, pvMap, lvMap, pv_dev_list, metadata, RP_CANCEL)) {
        g_ptrLogWriter->log(-1, kCancel, __LINE__, 0, 0, "revert to old vg retruned error");
        return false;
    }
    if (m_failureGroup > 0) {
        g_ptrLogWriter->log(0, kCancel, __LINE__, 0, 0, "Starting disks for mirror [%d] [%s]",
                            m_failureGroup, m_excludeList.c_str());
        std::string out;
        startDisks(md.fsName, m_excludeList, out);
    }
    if (!gpfs::markerSet("gpfsKeepTemp")) cleanTemp("");
    return true;
}

bool LVM_gpfs::stopDisks(const std::string& fs, const std::string& disks, std::string& out) {
    return changeDisks(kStopDisks, fs, "stop", disks, out);
}

bool LVM_gpfs::startDisks(const std::string& fs, const std::string& disks, std::string& out) {
    return changeDisks(kStartDisks, fs, "start", disks, out);
}

bool LVM_gpfs::restripeFS(const std::string& fs, std::string& out) {
    const Origin here{kRestripe, volbridge::unit::kGpfs};
    g_ptrLogWriter->log(3, kRestripe, __LINE__, 0, 0, "Entering '%s'", kRestripe);
    return gpfs::falseOnRefusal(kRestripe, [&] {
        CommandLine cmd(here, "mmrestripefs");
        cmd.word(fs, "the file-system name").literal(" -b");
        return runDiskCommand(kRestripe, cmd, "mmrestripefs", out);
    });
}
