// In-place revert of a GPFS file system: checking the snapshot disks, taking the file system out
// of the cluster before the storage rolls the disks back, importing it again afterwards, and
// undoing the preparation when the revert is abandoned.
//
// The calls of one revert may run on different backend objects; each parses the same metadata,
// so the unique id, failure group and exclude list, and with them the names of the temporary
// files, agree. Each that changes the cluster holds the host's import lock, checks its files
// before the first command that changes anything, and records what it changed, so that a
// failure takes back only that.
#include <unistd.h>

#include <set>

#include "core/ImportLock.h"
#include "core/Markers.h"
#include "core/Text.h"
#include "core/ToolFile.h"
#include "gpfs/gpfs_internal.h"
#include "gpfs/gpfs_mount.h"
#include "host/YbException.h"

namespace {

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Operation;
namespace gpfs = volbridge::gpfs;
using Map = gpfs::Map;

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
bool runDiskCommand(const Operation& op, const CommandLine& cmd, const char* tool,
                    std::string& out) {
    const CommandResult r = op.run(cmd);
    out = r.out;
    if (!op.succeeded(r)) {
        op.logFailure(cmd, r, 0);
        return false;
    }
    op.log(0, "Info: %s cmd [%s] out [%s] ", tool, cmd.text().c_str(), r.out.c_str());
    return true;
}

// "mmchdisk <fs> <action> -d "<disks>"".
bool changeDisks(const char* func, const std::string& fs, const char* action,
                 const std::string& disks, std::string& out) {
    Operation op(func, volbridge::unit::kGpfs);
    op.log(3, "Entering '%s'", func);
    return op.falseOnFailure([&] {
        CommandLine cmd = op.command("mmchdisk");
        cmd.word(fs, "the file-system name").literal(std::string(" ") + action + " -d \"");
        gpfs::appendNsdList(cmd, disks);
        cmd.literal("\"");
        return runDiskCommand(op, cmd, "mmchdisk", out);
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

// The file a step of this operation will write at `path`: nothing planted there is used.
std::string checkedPath(const Operation& op, std::string path) {
    volbridge::clearToolOutputPath(op.origin(), path);
    return path;
}

// Whether the node file `path` that the prepare phase wrote names a node: it had the file
// system mounted somewhere.
bool namesNodes(const std::string& path) {
    std::string why, nodes;
    if (gpfs::fileWeWrote(path, &why) != gpfs::FileState::Trusted) return false;
    if (!volbridge::readMarker(path, &nodes)) return false;
    for (const std::string& line : volbridge::splitLines(nodes)) {
        if (!volbridge::splitWords(line).empty()) return true;
    }
    return false;
}

}  // namespace

bool LVM_gpfs::canRevert(const VG& vg, const char* metadata,
                         const std::list<std::string>& pv_dev_list) {
    (void)vg;
    const Operation op(kCanRevert, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    GPFSMetadata md;
    Map pvMap, lvMap, captured, nsdMap;
    parseMetadata(metadata ? metadata : "", md, pvMap, lvMap);
    if (!parsePVId(pvMap, captured, nsdMap)) return false;
    if (captured.size() != pv_dev_list.size()) {
        op.error("old_pv_map.size [%d] is not equal to pv_dev_list.size [%d]",
                 static_cast<int>(captured.size()), static_cast<int>(pv_dev_list.size()));
        return false;
    }
    // Only the identifiers in the descriptors count: the disks may have other device paths now.
    std::set<std::string> found;
    for (const std::string& device : pv_dev_list) {
        std::string diskId;
        if (getDiskIdfromDevice(device, diskId) == 1) {
            op.error("Error: cmd: getDiskIdfromDevice failed");
            return false;
        }
        op.log(0, "Info: diskUid: '%s' ", diskId.c_str());
        if (diskId.empty()) {
            op.error("Error: mmfsadm did not return id for disk!!!");
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
    (void)pv_dev_list;
    Operation op(kPrepRevert, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    op.log(3, "Entering '%s'", kPrepRevert);
    GPFSMetadata md;
    Map pvMap, lvMap;
    parseMetadata(metadata ? metadata : "", md, pvMap, lvMap);
    const std::string fs = vg.name;
    gpfs::requireGpfsName(op, fs, "file-system name");
    // A configured failure group, 0 included, is a snapshot of that group's disks only.
    if (m_failureGroup >= 0 && !gpfs::markerSet("gpfsAttRevert")) {
        op.error("Revert is not supported for mirror snap");
        return false;
    }
    return op.falseOnFailure([&] {
        // ---- check ----
        volbridge::ImportLock lock(op.origin());
        const std::string nodeFile =
            checkedPath(op, gpfs::tempFilePath(op, "gpfsMNodeList_", m_uniqueId, m_jobId));
        const std::string exportFile =
            checkedPath(op, gpfs::tempFilePath(op, "gpfsRevExport_", m_uniqueId, m_jobId));
        const std::string excluded = m_excludeList;
        const int group = m_failureGroup;

        // ---- act ----
        // The node file names the nodes to mount on again.
        std::string nodes;
        bool nodeFileWritten = false;
        std::vector<Operation::Step> steps;
        steps.push_back({"recording the nodes that have " + fs + " mounted",
                         [&] { nodeFileWritten = getMountNodes(fs, nodes); }});
        if (group >= 0) {
            steps.push_back(
                {"stopping the disks of " + fs + " outside failure group " + std::to_string(group),
                 [&] {
                     op.log(0, "Stopping disks for mirror [%d] [%s]", group, excluded.c_str());
                     std::string out;
                     if (!stopDisks(fs, excluded, out)) return;
                     op.changed("the stopped disks " + excluded + " of " + fs, [&] {
                         std::string started;
                         if (!startDisks(fs, excluded, started)) {
                             op.fail("Error: the disks " + excluded + " of " + fs +
                                     " could not be started again");
                         }
                     });
                 }});
        }
        steps.push_back(
            {"unmounting " + fs + " on all nodes", [&] {
                 // A forced unmount that fails may have unmounted some nodes.
                 op.changed("the unmount of " + fs, [&] {
                     if (nodes.empty()) return;  // it was mounted nowhere
                     if (!mountFS(fs, nodeFileWritten ? nodeFile : "", RP_PREPARE, false)) {
                         op.fail("Error: mounting the file system " + fs + " again failed");
                     }
                 });
                 if (!unmountFS(fs, true)) {
                     op.error("unmountFS failed.");
                     op.fail("unmountFS failed.");
                 }
             }});
        steps.push_back(
            {"exporting " + fs + " to " + exportFile, [&] {
                 std::string errorText;
                 if (!exportFS(fs, exportFile, &errorText)) {
                     op.error("Export fs returned error");
                     gpfs::removeFileWeWrote(exportFile);
                     op.fail("Error: the file system " + fs +
                             " could not be exported: " + volbridge::quotedOutput(errorText));
                 }
             }});
        op.act(steps);
        // A new revert starts here: what an earlier one left noted is over.
        gpfs::ImportJournal(op, "revert", fs).forget();
        return true;
    });
}

bool LVM_gpfs::revert(GPFSMetadata& md, Map& pvMap, Map& lvMap,
                      const std::list<std::string>& pv_dev_list, const char* metadata,
                      RevertPhase phase) {
    (void)pvMap;
    (void)lvMap;
    (void)pv_dev_list;
    (void)metadata;
    Operation op(kRevert, volbridge::unit::kGpfs);
    return op.falseOnFailure([&] {
        // An empty import file is the one the prepare phase exported to: only a file this user
        // (or GPFS for it) wrote there is imported.
        std::string importFile;
        if (phase == RP_REVERT) {
            if (!writeMmsdrfsFile(md.mmsdrfsData, "", &importFile)) {
                op.error("Failed to write to mmsdrfsfile");
                return false;
            }
        } else {
            const std::string prepared =
                gpfs::tempFilePath(op, "gpfsRevExport_", m_uniqueId, m_jobId);
            std::string why;
            const gpfs::FileState state = gpfs::fileWeWrote(prepared, &why);
            if (state != gpfs::FileState::Trusted) {
                op.error("Refusing to import from %s: %s", prepared.c_str(),
                         state == gpfs::FileState::Missing ? "it does not exist" : why.c_str());
                op.error("import operation failed");
                return false;
            }
        }
        if (!importFS(md.fsName, importFile, "")) {
            op.error("import operation failed");
            return false;
        }
        op.log(0, "import operation completed successfully");
        return true;
    });
}

LVM::VG LVM_gpfs::revertLVs(const std::list<std::string>& pv_dev_list, const char* metadata,
                            Map& old2new_uuid_map) {
    (void)old2new_uuid_map;
    Operation op(kRevertLVs, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    try {
        // ---- check ----
        op.log(3, "Entering '%s'", kRevertLVs);
        if (!metadata || !*metadata) op.fail("Error: Metadata is NULL");
        GPFSMetadata md;
        Map pvMap, lvMap;
        parseMetadata(metadata, md, pvMap, lvMap);
        const std::string fs = md.fsName;
        const CapturedState captured{m_uniqueId, m_failureGroup, m_excludeList};
        std::string uniqueId = m_uniqueId;
        uniqueId.pop_back();  // the trailing "_"
        volbridge::ImportLock lock(op.origin());
        checkedPath(op, gpfs::tempFilePath(op, "mmsdrfsExport_", m_uniqueId, m_jobId));
        const std::string exportFile =
            checkedPath(op, gpfs::tempFilePath(op, "yb_exportFile_", m_uniqueId, fs));
        // A run of this revert that was stopped after its import left the file system in the
        // cluster: this run goes on from there.
        const gpfs::ImportJournal journal(op, "revert", fs);
        const bool resumed = journal.records(md.fsId, uniqueId) &&
                             gpfs::presenceOf(op, fs) == gpfs::Presence::Present;

        // ---- act ----
        VG vg;
        const std::string imported = gpfs::importedChange(fs);
        // Taken out again, the file system is where the prepare phase left it: the prepare's own
        // export file stays as it is.
        auto takeOut = [&] { gpfs::exportAgain(*this, op, fs, exportFile, journal); };
        std::vector<Operation::Step> steps;
        if (resumed) {
            steps.push_back(gpfs::takeOver(op, fs, "revert", takeOut));
        } else {
            steps.push_back({"importing " + fs + " from its captured configuration", [&] {
                                 journal.record(md.fsId, uniqueId);
                                 if (!revert(md, pvMap, lvMap, pv_dev_list, metadata, RP_REVERT)) {
                                     journal.forget();
                                     op.error("revert to old vg retruned error");
                                     op.fail("Error: Revert failed for the filesystem :" + fs);
                                 }
                                 op.changed(imported, takeOut);
                             }});
        }
        if (captured.failureGroup >= 0) {
            steps.push_back({"starting the disks of " + fs + " outside failure group " +
                                 std::to_string(captured.failureGroup) + " and rebalancing it",
                             [&] {
                                 std::string out;
                                 op.log(0, "Starting disks for mirror [%d] [%s]",
                                        captured.failureGroup, captured.excludeList.c_str());
                                 startDisks(fs, captured.excludeList, out);
                                 op.log(0, "Starting restripe for mirror [%d]",
                                        captured.failureGroup);
                                 restripeFS(fs, out);
                             }});
        }
        steps.push_back({"mounting " + fs + " on all nodes", [&] {
                             if (!mountFS(fs, "", RP_REVERT, false)) {
                                 op.fail("Error: mounting the file system " + fs + " failed");
                             }
                             op.changed("the mount of " + fs, [&] {
                                 if (!unmountFS(fs, true)) {
                                     op.fail("Error: unmounting the file system " + fs + " failed");
                                 }
                             });
                         }});
        steps.push_back({"describing " + fs,
                         [&] { populateFS(fs, vg, &md.fsName, &md.fsId, &pvMap, &lvMap); }});
        op.act(steps);

        // ---- result ----
        journal.forget();
        // The files this revert wrote carry the captured unique id, not the one the discovery
        // just made.
        if (!gpfs::markerSet("gpfsKeepTemp"))
            gpfs::removeTemporaryFiles(captured.uniqueId, m_jobId);
        return vg;
    } catch (...) {
        gpfs::throwAgain(op, "Exception in revertLVs", gpfs::ErrorNumber::Kept60606);
    }
}

bool LVM_gpfs::cancelRevertLV(const char* metadata, const std::list<std::string>& pv_dev_list) {
    Operation op(kCancel, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    op.log(3, "Entering '%s'", kCancel);
    GPFSMetadata md;
    Map pvMap, lvMap;
    parseMetadata(metadata ? metadata : "", md, pvMap, lvMap);
    const std::string fs = md.fsName;
    const CapturedState captured{m_uniqueId, m_failureGroup, m_excludeList};

    return op.falseOnFailure([&] {
        // ---- check ----
        volbridge::ImportLock lock(op.origin());
        // The file the prepare phase exported to, if it got that far; the temp directory may be
        // shared, so only a file of this user or root that nobody else may write is imported.
        const std::string prepared = gpfs::tempFilePath(op, "gpfsRevExport_", m_uniqueId, m_jobId);
        std::string why;
        const gpfs::FileState preparedState = gpfs::fileWeWrote(prepared, &why);
        if (preparedState == gpfs::FileState::Refused) {
            op.fail("Refusing the export file " + prepared + " of the prepare phase: " + why);
        }
        std::vector<Operation::Step> steps;
        auto startTheStoppedDisks = [&] {
            if (captured.failureGroup < 0) return;
            steps.push_back({"starting the disks of " + fs + " outside failure group " +
                                 std::to_string(captured.failureGroup),
                             [&] {
                                 op.log(0, "Starting disks for mirror [%d] [%s]",
                                        captured.failureGroup, captured.excludeList.c_str());
                                 std::string out;
                                 startDisks(fs, captured.excludeList, out);
                             }});
        };

        VG vg;
        const std::string nodeFile = gpfs::tempFilePath(op, "gpfsMNodeList_", m_uniqueId, m_jobId);
        if (preparedState == gpfs::FileState::Trusted) {
            // The prepare phase took the file system out: what is in the cluster under its
            // name now is a revert's import, which makes way for the file system as it was.
            try {
                populateFS(fs, vg, &md.fsName, &md.fsId, &pvMap, &lvMap);
            } catch (const YbException& e) {
                op.error("[%s:%d] %s", e.getFileName().c_str(), e.getLineNum(),
                         e.getMessage().c_str());
            } catch (...) {
                op.error("Exception in cancelRevertLV");
            }
            m_uniqueId = captured.uniqueId;
            m_failureGroup = captured.failureGroup;
            m_excludeList = captured.excludeList;
            vg.name = fs;
            steps.push_back({"taking the reverted " + fs + " out of the cluster", [&] {
                                 if (!cleanFS(vg, pv_dev_list, RP_CANCEL)) {
                                     op.error(
                                         "cleanFS has returned error. Not sending failure as "
                                         "yet.");
                                 }
                             }});
            steps.push_back({"importing " + fs + " from the export file of the prepare phase", [&] {
                                 if (!revert(md, pvMap, lvMap, pv_dev_list, metadata, RP_CANCEL)) {
                                     op.error("revert to old vg retruned error");
                                     op.fail("Error: the file system " + fs +
                                             " could not be imported from " + prepared);
                                 }
                             }});
            startTheStoppedDisks();
        } else {
            // The prepare phase stopped before its export (or never ran): the file system is
            // still in the cluster and is brought back into service where it was.
            if (gpfs::presenceOf(op, fs) == gpfs::Presence::Absent) {
                op.fail("Error: the export file " + prepared +
                        " of the prepare phase is missing "
                        "and the file system " +
                        fs +
                        " is not in this cluster: there is nothing "
                        "to bring back");
            }
            startTheStoppedDisks();
            steps.push_back({"mounting " + fs + " where it was mounted", [&] {
                                 CommandLine listing = op.command("mmlsmount");
                                 listing.word(fs, "the file-system name").literal(" -L");
                                 const std::string now =
                                     gpfs::mountedNodes(gpfs::listing(op, listing), fs);
                                 if (!now.empty()) {
                                     op.log(0, "The file system %s is mounted on: %s", fs.c_str(),
                                            volbridge::quotedOutput(now).c_str());
                                 } else if (!namesNodes(nodeFile)) {
                                     op.log(0,
                                            "The file system %s was mounted nowhere before the "
                                            "prepare phase",
                                            fs.c_str());
                                 } else if (!mountFS(fs, nodeFile, RP_CANCEL, false)) {
                                     op.fail("Error: mounting the file system " + fs + " failed");
                                 }
                             }});
        }
        op.act(steps);
        // The revert is abandoned: a run of it that was stopped is not to be finished.
        gpfs::ImportJournal(op, "revert", fs).forget();
        if (!gpfs::markerSet("gpfsKeepTemp")) cleanTemp("");
        return true;
    });
}

bool LVM_gpfs::stopDisks(const std::string& fs, const std::string& disks, std::string& out) {
    return changeDisks(kStopDisks, fs, "stop", disks, out);
}

bool LVM_gpfs::startDisks(const std::string& fs, const std::string& disks, std::string& out) {
    return changeDisks(kStartDisks, fs, "start", disks, out);
}

bool LVM_gpfs::restripeFS(const std::string& fs, std::string& out) {
    Operation op(kRestripe, volbridge::unit::kGpfs);
    op.log(3, "Entering '%s'", kRestripe);
    return op.falseOnFailure([&] {
        CommandLine cmd = op.command("mmrestripefs");
        cmd.word(fs, "the file-system name").literal(" -b");
        return runDiskCommand(op, cmd, "mmrestripefs", out);
    });
}
