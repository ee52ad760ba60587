// Clone import: bringing a file system captured on one cluster into service on another from
// cloned disks, and the file writers and GPFS commands it uses.
//
// recreateVG reads as three phases. Check: the metadata (every name and value in it), that the
// capture comes from another cluster, whether GPFS knows the name (a definite answer), the files
// it will write, all under the host's import lock. Act: write the configuration copy and the
// stanza file, import, mount on this node, describe, unmount; each change is recorded with its
// undo, so that a failure takes out only what this call (or the interrupted run of the same
// import it finishes) brought in. Result: the record.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/ImportLock.h"
#include "core/TempFile.h"
#include "core/Text.h"
#include "core/ToolFile.h"
#include "gpfs/gpfs_internal.h"
#include "gpfs/gpfs_metadata.h"
#include "host/YbException.h"

namespace {

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Operation;
namespace gpfs = volbridge::gpfs;
using Map = gpfs::Map;

const char kRecreate[] =
    "virtual LVM::VG LVM_gpfs::recreateVG(const std::list<std::string>&, const char*, "
    "std::map<std::string, std::string>&)";
const char kWriteMmsdrfs[] =
    "bool LVM_gpfs::writeMmsdrfsFile(const std::string&, const std::string&, std::string*)";
const char kWriteStanza[] =
    "bool LVM_gpfs::writeStanzaFile(GPFSMetadata&, std::map<std::string, std::string>&, "
    "std::map<std::string, std::string>&, std::string*, std::string*)";
const char kImport[] =
    "bool LVM_gpfs::importFS(const std::string&, const std::string&, const std::string&)";
const char kExport[] =
    "bool LVM_gpfs::exportFS(const std::string&, const std::string&, std::string*)";
const char kExclude[] = "bool LVM_gpfs::excludeFGDisks(const std::string&)";

// The error number of the refusals that concern a file system live in this cluster.
constexpr int kLiveFileSystem = 60314;

// Refuses metadata captured on this very cluster: the file system it describes is live here.
void refuseSameCluster(const Operation& op, const GPFSMetadata& md) {
    const std::string current =
        gpfs::listing(op, op.command(gpfs::kClusterIdCommand), gpfs::Describes::Cluster);
    op.log(0, "Info: Out: '%s' ", current.c_str());
    if (current.empty()) op.fail("Error: current cluster GUID is empty!!!");
    if (md.cluster.clusterId == current) {
        op.error("source clusterID '%s' current clusterID '%s' is same",
                 md.cluster.clusterId.c_str(), current.c_str());
        op.fail(
            "Clone cannot be mounted on old cluster for GPFS where the filesystem already "
            "exists.",
            __LINE__, kLiveFileSystem);
    }
}

// The three stanza lines that make `node` the server of `nsd`.
std::string stanza(const std::string& nsd, const std::string& node) {
    return "%nsd:\n nsd=" + nsd + "\n servers=" + node + "\n";
}

// The name of this node, as the second word of its "mmgetstate" line; empty (after an error
// log) when it cannot be had or is not a plain node name.
std::string currentNode(const Operation& op) {
    const CommandLine cmd = op.command(
        "mmgetstate | awk 'BEGIN {flag=0;} {if(flag>0) printf $2; if($1 ~/----/) flag=1;}'");
    const CommandResult r = gpfs::listed(op, cmd, gpfs::Describes::Cluster);
    if (!op.succeeded(r)) {
        op.logFailure(cmd, r);
        return std::string();
    }
    op.log(0, "Info:current node name  mmgetstateOut: '%s' ", r.out.c_str());
    // The name goes into a file GPFS reads line by line: nothing but a plain name.
    const std::string why = gpfs::valueTrouble(r.out, gpfs::ValueKind::Word, ",;=%");
    if (!why.empty()) {
        op.error("The node name [%s] cannot stand in a stanza file: %s",
                 volbridge::printable(r.out).c_str(), why.c_str());
        return std::string();
    }
    return r.out;
}

// Makes way at `path` for a file this call writes (or has GPFS write); a refusal gives the
// failure `message` of the step that would write it, after logging `note` and the reason.
void clearPathFor(const Operation& op, const std::string& path, const char* note,
                  const char* message) {
    try {
        volbridge::clearToolOutputPath(op.origin(), path);
    } catch (const YbException& e) {
        op.error("%s", e.getMessage().c_str());
        op.error("%s", note);
        op.fail(message);
    }
}

}  // namespace

bool LVM_gpfs::writeMmsdrfsFile(const std::string& data, const std::string& path,
                                std::string* written_path) {
    Operation op(kWriteMmsdrfs, volbridge::unit::kGpfs);
    return op.falseOnFailure([&] {
        const std::string target =
            path.empty() ? gpfs::tempFilePath(op, "mmsdrfsExport_", m_uniqueId, m_jobId) : path;
        op.log(0, "output mmsdrfsFile path = '%s'", target.c_str());
        op.log(4, "writing mmsdrfsData [%s]", data.c_str());
        try {
            // The copy holds the cluster's configuration: private to this user, and never
            // written through a link somebody planted.
            volbridge::writeToolFile(op.origin(), target, data);
        } catch (const YbException& e) {
            op.error("Could not open output mmsdrfsfile '%s': %s", target.c_str(),
                     e.getMessage().c_str());
            return false;
        }
        if (written_path) *written_path = target;
        return true;
    });
}

bool LVM_gpfs::writeStanzaFile(GPFSMetadata& md, Map& diskIdMap, Map& nsdMap,
                               std::string* stanza_path, std::string* spare_path) {
    (void)md;
    (void)diskIdMap;
    (void)spare_path;
    Operation op(kWriteStanza, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    return op.falseOnFailure([&] {
        const std::string node = currentNode(op);
        if (node.empty()) return false;
        const std::string path = gpfs::tempFilePath(op, "stanzaFile_", m_uniqueId, m_jobId);
        std::string text;
        for (const auto& entry : nsdMap) {
            gpfs::requireGpfsName(op, entry.first, "NSD name");
            text += stanza(entry.first, node);
        }
        // The NSDs a failure-group capture left out are part of the file system too.
        if (m_failureGroup >= 0) {
            std::vector<std::string> excluded;
            ToKenize(m_excludeList, excluded, ";");
            if (excluded.empty()) {
                op.error("Excluded disks list is not present, list length= '%d'", 0);
            }
            for (const std::string& nsd : excluded) {
                op.log(0, "++++ excluded Disk'%s'", nsd.c_str());
                gpfs::requireGpfsName(op, nsd, "NSD name");
                text += stanza(nsd, node);
            }
        }
        try {
            volbridge::writeToolFile(op.origin(), path, text);
        } catch (const YbException& e) {
            op.error("Could not open output stanzafile '%s': %s", path.c_str(),
                     e.getMessage().c_str());
            return false;
        }
        op.log(0, "writing stanzafile at [%s]", path.c_str());
        if (stanza_path) *stanza_path = path;
        EvDebug(nullptr).debugWait("gpfsstanzaWait");
        return true;
    });
}

bool LVM_gpfs::importFS(const std::string& fs, const std::string& import_file,
                        const std::string& stanza_file) {
    Operation op(kImport, volbridge::unit::kGpfs);
    return op.falseOnFailure([&] {
        const std::string source =
            import_file.empty() ? gpfs::tempFilePath(op, "gpfsRevExport_", m_uniqueId, m_jobId)
                                : import_file;
        op.log(0, "importFilePath = '%s', stanzaFile = '%s'", source.c_str(), stanza_file.c_str());
        CommandLine cmd = op.command("mmimportfs");
        cmd.word(fs, "the file-system name").literal(" -i").word(source, "the import file");
        if (!stanza_file.empty()) cmd.literal(" -S").word(stanza_file, "the stanza file");
        const CommandResult r = op.run(cmd);
        gpfs::listingsChanged();
        if (op.succeeded(r)) {
            op.log(0, "Info: mmiportfsOut: '%s' ", r.out.c_str());
            return true;
        }
        op.logFailure(cmd, r);
        EvDebug(nullptr).debugWait("gpfsimportWait");
        gpfs::waitWhileMarker("gpfsImportWait");
        // Disks a failure-group capture left out are missing on purpose.
        return gpfs::markerSet("gpfsIgnoreError") || volbridge::contains(r.err, "asynchronous") ||
               (volbridge::contains(r.err, "ENODEV") && m_failureGroup >= 0);
    });
}

bool LVM_gpfs::exportFS(const std::string& fs, const std::string& path, std::string* error_text) {
    Operation op(kExport, volbridge::unit::kGpfs);
    return op.falseOnFailure([&] {
        const std::string target =
            path.empty() ? gpfs::tempFilePath(op, "gpfsRevExport_", m_uniqueId, m_jobId) : path;
        op.log(0, "exportPath = '%s'", target.c_str());
        CommandLine cmd = op.command("mmexportfs");
        cmd.word(fs, "the file-system name").literal(" -o").word(target, "the export file");
        // GPFS writes the file under a name known in advance: nothing planted there is used.
        volbridge::clearToolOutputPath(op.origin(), target);
        const CommandResult r = op.run(cmd);
        gpfs::listingsChanged();
        // The exit status says whether the file system left the cluster; a warning on standard
        // error with status 0 does not undo that, and the export file shows it.
        std::string why;
        if (r.succeeded() &&
            (r.err.empty() || gpfs::fileWeWrote(target, &why) == gpfs::FileState::Trusted)) {
            if (!r.err.empty()) {
                op.log(0, "'%s' succeeded and said on standard error: %s", cmd.text().c_str(),
                       volbridge::quotedOutput(r.err).c_str());
            }
            op.log(0, "Info: mmexportOut: '%s' ", r.out.c_str());
            return true;
        }
        op.error("%s out: '%s'", op.failureText(cmd, r).c_str(), r.out.c_str());
        if (error_text) *error_text += r.out + r.err;
        return volbridge::contains(r.err, "asynchronous");
    });
}

bool LVM_gpfs::excludeFGDisks(const std::string& fs) {
    Operation op(kExclude, volbridge::unit::kGpfs);
    return op.falseOnFailure([&] {
        op.log(0, "exclude = '%s'", m_excludeList.c_str());
        if (gpfs::markerSet("donotexclude")) {
            op.log(0, "skip exclude disks");
            return true;
        }
        CommandLine cmd = op.command("mmfsctl");
        cmd.word(fs, "the file-system name").literal(" exclude -d \"");
        gpfs::appendNsdList(cmd, m_excludeList);
        cmd.literal("\"");
        const CommandResult r = op.run(cmd);
        if (op.succeeded(r)) {
            op.log(0, "Info: mmexcludeOut: '%s' ", r.out.c_str());
            return true;
        }
        op.logFailure(cmd, r);
        EvDebug(nullptr).debugWait("gpfsexcludeWait");
        return gpfs::markerSet("gpfsExIgnoreError");
    });
}

LVM::VG LVM_gpfs::recreateVG(const std::list<std::string>& pv_dev_list, const char* metadata,
                             Map& old2new_uuid_map) {
    // The disks are found through GPFS itself; the map stays as the caller passed it.
    (void)pv_dev_list;
    (void)old2new_uuid_map;
    Operation op(kRecreate, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    try {
        // ---- check ----
        if (!metadata || !*metadata) op.fail("Error: Empty Metadata string");
        GPFSMetadata md;
        Map pvMap, lvMap;
        parseMetadata(metadata, md, pvMap, lvMap);
        Map diskIdMap, nsdMap;
        if (!parsePVId(pvMap, diskIdMap, nsdMap)) {
            op.fail("Error: could not parse pvId to get nsd list");
        }
        const std::string fs = md.fsName;
        for (const auto& entry : nsdMap) gpfs::requireGpfsName(op, entry.first, "NSD name");
        std::string uniqueId = m_uniqueId;
        uniqueId.pop_back();  // the trailing "_"

        // From the first look at the cluster to the last change, no other import runs here.
        volbridge::ImportLock lock(op.origin());
        refuseSameCluster(op, md);
        const gpfs::ImportJournal journal(op, "import", fs);
        const bool present = gpfs::presenceOf(op, fs) == gpfs::Presence::Present;
        // A run of this very import that was stopped after importing left it: this run finishes
        // it. Any other file system of that name is somebody else's, and is left alone.
        const bool resumed = present && journal.records(md.fsId, uniqueId);
        if (present && !resumed) {
            op.error("file system '%s' already present on the system", fs.c_str());
            op.fail("file system already present on the system", __LINE__, kLiveFileSystem);
        }
        // The files this call writes, or has GPFS write, all in the private temp directory.
        const std::string configPath =
            gpfs::tempFilePath(op, "mmsdrfsExport_", m_uniqueId, m_jobId);
        const std::string stanzaPath = gpfs::tempFilePath(op, "stanzaFile_", m_uniqueId, m_jobId);
        const std::string exportFile = gpfs::tempFilePath(op, "yb_exportFile_", m_uniqueId, fs);
        if (!resumed) {
            clearPathFor(op, configPath, "writeMmsdrfsFile failed!!",
                         "Error in writing mmsdrfs file");
            clearPathFor(op, stanzaPath, "writeStanzaFile failed!!",
                         "Error in writing stanza file");
            if (currentNode(op).empty()) {
                op.error("writeStanzaFile failed!!");
                op.fail("Error in writing stanza file");
            }
        }
        volbridge::clearToolOutputPath(op.origin(), exportFile);

        // ---- act ----
        const std::string imported = gpfs::importedChange(fs);
        const std::string mounted = "the mount of " + fs + " on this node";
        auto takeOut = [&] { gpfs::exportAgain(*this, op, fs, exportFile, journal); };
        std::vector<Operation::Step> steps;
        if (resumed) {
            steps.push_back(gpfs::takeOver(op, fs, "import", takeOut));
        } else {
            steps.push_back(
                {"writing the cluster configuration and the NSD stanza file of " + fs, [&] {
                     std::string written;
                     if (!writeMmsdrfsFile(md.mmsdrfsData, "", &written)) {
                         op.error("writeMmsdrfsFile failed!!");
                         op.fail("Error in writing mmsdrfs file");
                     }
                     op.changed("the configuration copy " + written,
                                [written] { unlink(written.c_str()); });
                     if (!writeStanzaFile(md, diskIdMap, nsdMap, &written, nullptr)) {
                         op.error("writeStanzaFile failed!!");
                         op.fail("Error in writing stanza file");
                     }
                     op.changed("the stanza file " + written,
                                [written] { unlink(written.c_str()); });
                 }});
            steps.push_back({"importing " + fs + " from the cloned disks", [&] {
                                 journal.record(md.fsId, uniqueId);
                                 if (importFS(fs, configPath, stanzaPath)) {
                                     op.changed(imported, takeOut);
                                     return;
                                 }
                                 // A failed import may still have brought part of it in.
                                 try {
                                     if (gpfs::presenceOf(op, fs) == gpfs::Presence::Present) {
                                         op.changed(imported, takeOut);
                                     } else {
                                         journal.forget();
                                     }
                                 } catch (const YbException& e) {
                                     op.log(0,
                                            "Whether the failed import brought %s in cannot be "
                                            "told; it is left as it is (%s)",
                                            fs.c_str(), e.getMessage().c_str());
                                 }
                                 op.error("importFS failed!!");
                                 op.fail("Error while importing the filesystem");
                             }});
        }
        VG vg;
        steps.push_back({"mounting " + fs + " on this node", [&] {
                             if (!mountFS(fs, "", RP_LOCAL, true)) {
                                 op.fail("Error: mounting the file system " + fs + " failed");
                             }
                             op.changed(mounted, [&, fs] {
                                 if (!unmountFS(fs, true)) {
                                     op.fail("Error: unmounting the file system " + fs + " failed");
                                 }
                             });
                         }});
        steps.push_back({"describing " + fs,
                         [&] { populateFS(fs, vg, &md.fsName, &md.fsId, &pvMap, &lvMap); }});
        steps.push_back(
            {"unmounting " + fs + " on all nodes", [&] {
                 if (!unmountFS(fs, true)) {
                     // What was found goes into the log before it is taken back.
                     op.log(0, "The file system %s was described as [%s] [%s]:", fs.c_str(),
                            vg.name.c_str(), vg.uuid.c_str());
                     for (const auto& pv : vg.pvs) {
                         op.log(0, "  disk %s [%s] captured as [%s]", pv.second.device.c_str(),
                                pv.first.c_str(), pv.second.orig_uuid.c_str());
                     }
                     op.fail("Error: unmounting the file system " + fs + " failed");
                 }
                 op.forget(mounted);
             }});
        op.act(steps);

        // ---- result ----
        journal.forget();
        return vg;
    } catch (...) {
        // The refusals keep their number, and so does a failure the host marked 60606.
        gpfs::throwAgain(op, "Exception in recreateVG", gpfs::ErrorNumber::KeptRefusals);
    }
}
